// A small kernel image for the loader tests: a table of function pointers
// and pointers to data that only work once relocated, an import of a kernel
// routine, a data import and an import the kernel does not have.
typedef long NTSTATUS;
typedef unsigned char KIRQL;
typedef unsigned long ULONG;

__declspec(dllimport) KIRQL KeGetCurrentIrql(void);
__declspec(dllimport) void* ExAllocatePoolWithTag(int type, unsigned long long size, ULONG tag);
__declspec(dllimport) void ExFreePoolWithTag(void* block, ULONG tag);
__declspec(dllimport) extern void* IoFileObjectType;
__declspec(dllimport) NTSTATUS ZarkProbeMissingRoutine(int value);

static int counter;
static const char greeting[] = "relocated";
int* const counter_pointer = &counter;
const char* const greeting_pointer = greeting;

static int Twice(int x) { return 2 * x; }
static int Thrice(int x) { return 3 * x; }
int (*const operations[])(int) = {Twice, Thrice};

int Operate(int which, int x) { return operations[which](x); }
int* CounterAddress(void) { return &counter; }
void* FileObjectType(void) { return IoFileObjectType; }
NTSTATUS CallMissing(void) { return ZarkProbeMissingRoutine(7); }

enum { kNonPagedPoolNx = 512, kTag = 0x626f7250 /* "Prob" */ };
void* Allocate(unsigned long long size) { return ExAllocatePoolWithTag(kNonPagedPoolNx, size, kTag); }
void Release(void* block) { ExFreePoolWithTag(block, kTag); }

NTSTATUS DriverEntry(void* driver, void* registry_path) {
  (void)driver;
  (void)registry_path;
  ++counter;
  return KeGetCurrentIrql();
}

// A copy the compiler turns into a call of the kernel's memcpy.
void CopyBlock(void* to, const void* from, unsigned long long size) { __builtin_memcpy(to, from, size); }

// The IRQL as the kernel headers read it inline, into two kinds of register.
unsigned long long CurrentIrql(void) {
  unsigned long long irql;
  __asm__ volatile("mov %%cr8, %0" : "=r"(irql));
  return irql;
}
unsigned long long CurrentIrqlThroughR12(void) {
  register unsigned long long irql __asm__("r12");
  __asm__ volatile("mov %%cr8, %0" : "=r"(irql));
  return irql;
}

// Raises or lowers the IRQL as the kernel headers do inline.
void SetIrql(unsigned long long irql) { __asm__ volatile("mov %0, %%cr8" : : "r"(irql) : "memory"); }

// Port input and output as READ_PORT_* and WRITE_PORT_* compile inline.
void OutDword(unsigned short port, unsigned int value) { __asm__ volatile("outl %0, %w1" : : "a"(value), "Nd"(port)); }
unsigned int InDword(unsigned short port) {
  unsigned int value;
  __asm__ volatile("inl %w1, %0" : "=a"(value) : "Nd"(port));
  return value;
}
// A byte read replaces only the low byte of the register.
unsigned long long InByteOverPattern(unsigned short port) {
  unsigned long long value = 0x1122334455667700ull;
  __asm__ volatile("inb %w1, %b0" : "+a"(value) : "d"(port));
  return value;
}
unsigned long long InByteFromPort80(void) {
  unsigned long long value = 0x1122334455667700ull;
  __asm__ volatile("inb $0x80, %b0" : "+a"(value));
  return value;
}

// Device registers as READ_REGISTER_* and WRITE_REGISTER_* compile inline.
unsigned char ReadRegisterByte(volatile unsigned char* reg) { return *reg; }
unsigned int ReadRegisterDword(volatile unsigned int* reg) { return *reg; }
void WriteRegisterByte(volatile unsigned char* reg, unsigned char value) { *reg = value; }
void WriteRegisterDwordConstant(volatile unsigned int* reg) { *reg = 0x00000002; }

// The clocks and the current thread as the Windows headers read them
// inline: KUSER_SHARED_DATA's interrupt time, and gs:[0x188].
unsigned long long InterruptTime(void) { return *(volatile unsigned long long*)0xFFFFF78000000008ull; }
void* CurrentThread(void) {
  void* thread;
  __asm__ volatile("mov %%gs:0x188, %0" : "=r"(thread));
  return thread;
}

// A frame larger than a page: the compiler probes it through libgcc's
// ___chkstk_ms, linked into the image.
unsigned long long LargeFrame(unsigned int seed) {
  volatile unsigned char buffer[3 * 4096];
  for (unsigned int i = 0; i < sizeof buffer; ++i) buffer[i] = (unsigned char)(i * seed);
  unsigned long long sum = 0;
  for (unsigned int i = 0; i < sizeof buffer; i += 4096) sum += buffer[i + 1];
  return sum;
}
