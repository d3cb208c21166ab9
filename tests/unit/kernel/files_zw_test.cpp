// The Zw file routines as a driver sees them, in a running machine.
#include <wdm.h>

#include <vector>

#include "sim/kernel/fault_plan.h"
#include "sim/kernel/files/file_system.h"
#include "tests/support/kernel_test.h"

namespace sim {
namespace {

constexpr const char* kConfig = "\\SystemRoot\\SysWOW64\\ZARKCARD.cfg";
constexpr const wchar_t* kConfigName = L"\\SystemRoot\\SysWOW64\\ZARKCARD.cfg";

class FilesZwTest : public test::KernelTest {
 protected:
  NTSTATUS Create(const wchar_t* name, ACCESS_MASK access, ULONG disposition, ULONG options,
                  HANDLE* file, ULONG share = FILE_SHARE_READ, ULONG attributes = 0,
                  HANDLE root = nullptr) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    io_ = {};
    return ZwCreateFile(file, access, &oa, &io_, nullptr, attributes ? attributes : FILE_ATTRIBUTE_NORMAL,
                        share, disposition, options, nullptr, 0);
  }
  // The configuration file open of the card driver.
  NTSTATUS OpenConfig(HANDLE* file) {
    return Create(kConfigName, GENERIC_ALL, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, file);
  }
  NTSTATUS Read(HANDLE file, std::vector<uint8_t>& buffer, LONGLONG* offset = nullptr) {
    LARGE_INTEGER at;
    if (offset) at.QuadPart = *offset;
    io_ = {};
    return ZwReadFile(file, nullptr, nullptr, nullptr, &io_, buffer.data(), ULONG(buffer.size()),
                      offset ? &at : nullptr, nullptr);
  }
  void Close(HANDLE handle) { EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS); }
  FileSystem& files() { return *kernel().files; }

  IO_STATUS_BLOCK io_{};
};

TEST_F(FilesZwTest, MissingFileAndMissingDirectory) {
  HANDLE file = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(OpenConfig(&file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(Create(L"\\SystemRoot\\NoDir\\x.cfg", GENERIC_READ, FILE_OPEN, 0, &file),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Create(L"\\SystemRoot\\NoDir\\x.cfg", GENERIC_WRITE, FILE_OPEN_IF, 0, &file),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Create(L"SystemRoot\\x", GENERIC_READ, FILE_OPEN, 0, &file),
            STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(Create(L"\\??\\D:\\x", GENERIC_READ, FILE_OPEN, 0, &file),
            STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Create(L"\\SystemRoot\\SysWOW64\\a?b", GENERIC_READ, FILE_OPEN, 0, &file),
            STATUS_OBJECT_NAME_INVALID);
}

TEST_F(FilesZwTest, ReadsWholeShortAndEmptyFiles) {
  std::vector<uint8_t> content(100);
  for (size_t i = 0; i < content.size(); ++i) content[i] = uint8_t(i + 1);
  files().AddFile(kConfig, content);
  HANDLE file;
  ASSERT_EQ(OpenConfig(&file), STATUS_SUCCESS);
  EXPECT_EQ(io_.Information, ULONG_PTR(FILE_OPENED));

  // A 432-byte read of a 100-byte file is a short read, not an error.
  std::vector<uint8_t> buffer(432, 0);
  LONGLONG zero = 0;
  ASSERT_EQ(Read(file, buffer, &zero), STATUS_SUCCESS);
  EXPECT_EQ(io_.Status, STATUS_SUCCESS);
  EXPECT_EQ(io_.Information, 100u);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 100), content);
  EXPECT_EQ(buffer[100], 0);
  // The synchronous open moved the current position: the next read is at the end.
  EXPECT_EQ(Read(file, buffer), STATUS_END_OF_FILE);
  EXPECT_EQ(io_.Information, 0u);
  LONGLONG past = 1000;
  EXPECT_EQ(Read(file, buffer, &past), STATUS_END_OF_FILE);
  Close(file);

  files().AddFile(kConfig, {});
  ASSERT_EQ(OpenConfig(&file), STATUS_SUCCESS);
  EXPECT_EQ(Read(file, buffer, &zero), STATUS_END_OF_FILE);
  EXPECT_EQ(io_.Status, STATUS_END_OF_FILE);
  EXPECT_EQ(io_.Information, 0u);
  std::vector<uint8_t> nothing;
  EXPECT_EQ(Read(file, nothing, &zero), STATUS_SUCCESS);  // zero bytes never hit the end
  Close(file);
}

TEST_F(FilesZwTest, ReadOnlyFileRefusesWriteAccess) {
  files().AddFile(kConfig, {1, 2}, true);
  HANDLE file;
  EXPECT_EQ(OpenConfig(&file), STATUS_ACCESS_DENIED);  // GENERIC_ALL includes writing
  EXPECT_EQ(Create(kConfigName, FILE_WRITE_DATA, FILE_OPEN, 0, &file), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Create(kConfigName, GENERIC_READ, FILE_OVERWRITE, 0, &file), STATUS_ACCESS_DENIED);
  ASSERT_EQ(Create(kConfigName, GENERIC_READ | SYNCHRONIZE, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT, &file),
            STATUS_SUCCESS);
  std::vector<uint8_t> buffer(2);
  EXPECT_EQ(Read(file, buffer), STATUS_SUCCESS);
  EXPECT_EQ(buffer, (std::vector<uint8_t>{1, 2}));
  Close(file);
  EXPECT_EQ(files().ReadFile(kConfig), (std::vector<uint8_t>{1, 2}));
}

TEST_F(FilesZwTest, DispositionsAndDirectories) {
  HANDLE file;
  EXPECT_EQ(Create(L"\\SystemRoot\\SysWOW64", GENERIC_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                   &file),
            STATUS_FILE_IS_A_DIRECTORY);
  ASSERT_EQ(Create(kConfigName, GENERIC_WRITE, FILE_CREATE,
                   FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &file),
            STATUS_SUCCESS);
  EXPECT_EQ(io_.Information, ULONG_PTR(FILE_CREATED));
  const char data[] = "abc";
  ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io_, (PVOID)data, 3, nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(io_.Information, 3u);
  LARGE_INTEGER end;
  end.HighPart = -1;
  end.LowPart = FILE_WRITE_TO_END_OF_FILE;
  ASSERT_EQ(ZwWriteFile(file, nullptr, nullptr, nullptr, &io_, (PVOID)data, 1, &end, nullptr),
            STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION standard;
  ASSERT_EQ(ZwQueryInformationFile(file, &io_, &standard, sizeof standard, FileStandardInformation),
            STATUS_SUCCESS);
  EXPECT_EQ(io_.Information, sizeof standard);
  EXPECT_EQ(standard.EndOfFile.QuadPart, 4);
  EXPECT_EQ(standard.AllocationSize.QuadPart, 4096);
  EXPECT_FALSE(standard.Directory);
  FILE_POSITION_INFORMATION position;
  ASSERT_EQ(ZwQueryInformationFile(file, &io_, &position, sizeof position, FilePositionInformation),
            STATUS_SUCCESS);
  EXPECT_EQ(position.CurrentByteOffset.QuadPart, 4);
  EXPECT_EQ(ZwQueryInformationFile(file, &io_, &position, 4, FilePositionInformation),
            STATUS_INFO_LENGTH_MISMATCH);
  Close(file);
  EXPECT_EQ(files().ReadFile(kConfig), (std::vector<uint8_t>{'a', 'b', 'c', 'a'}));

  EXPECT_EQ(Create(kConfigName, GENERIC_WRITE, FILE_CREATE, 0, &file),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(io_.Information, ULONG_PTR(FILE_EXISTS));
  EXPECT_EQ(Create(kConfigName, GENERIC_READ, FILE_OPEN, FILE_DIRECTORY_FILE, &file),
            STATUS_NOT_A_DIRECTORY);
  ASSERT_EQ(Create(kConfigName, GENERIC_WRITE, FILE_OVERWRITE_IF, 0, &file), STATUS_SUCCESS);
  EXPECT_EQ(io_.Information, ULONG_PTR(FILE_OVERWRITTEN));
  Close(file);
  EXPECT_EQ(files().ReadFile(kConfig)->size(), 0u);
  EXPECT_EQ(Create(L"\\SystemRoot\\Gone.txt", GENERIC_WRITE, FILE_OVERWRITE, 0, &file),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Create(kConfigName, GENERIC_READ, 9, 0, &file), STATUS_INVALID_PARAMETER);
}

TEST_F(FilesZwTest, RelativeOpenAndSharing) {
  files().AddFile(kConfig, {7, 8, 9});
  HANDLE dir, file, second;
  ASSERT_EQ(Create(L"\\??\\C:\\WINDOWS\\syswow64", FILE_LIST_DIRECTORY, FILE_OPEN,
                   FILE_DIRECTORY_FILE, &dir),
            STATUS_SUCCESS);
  ASSERT_EQ(Create(L"zarkcard.CFG", GENERIC_READ, FILE_OPEN, 0, &file, FILE_SHARE_READ, 0, dir),
            STATUS_SUCCESS);
  // The first open shares only reading: a writer is refused until it closes.
  EXPECT_EQ(Create(kConfigName, GENERIC_WRITE, FILE_OPEN, 0, &second), STATUS_SHARING_VIOLATION);
  ASSERT_EQ(Create(kConfigName, GENERIC_READ, FILE_OPEN, 0, &second), STATUS_SUCCESS);
  Close(second);

  // Without a synchronous open there is no current position to read from.
  std::vector<uint8_t> buffer(3);
  EXPECT_EQ(Read(file, buffer), STATUS_INVALID_PARAMETER);
  LONGLONG one = 1;
  ASSERT_EQ(Read(file, buffer, &one), STATUS_SUCCESS);
  EXPECT_EQ(io_.Information, 2u);
  EXPECT_EQ(Read(dir, buffer, &one), STATUS_INVALID_DEVICE_REQUEST);
  Close(file);
  ASSERT_EQ(Create(kConfigName, GENERIC_WRITE, FILE_OPEN, 0, &second), STATUS_SUCCESS);
  Close(second);
  Close(dir);
}

TEST_F(FilesZwTest, HandlesAndFaults) {
  files().AddFile(kConfig, {1});
  HANDLE file;
  ASSERT_EQ(OpenConfig(&file), STATUS_SUCCESS);
  const HandleEntry* entry = kernel().handles->Find(file);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->object->TypeName(), "File");
  EXPECT_EQ(entry->object->Describe(), "\\??\\C:\\Windows\\SysWOW64\\ZARKCARD.cfg");
  EXPECT_EQ(entry->owner, nullptr);
  Close(file);
  std::vector<uint8_t> buffer(1);
  EXPECT_EQ(Read(file, buffer), STATUS_INVALID_HANDLE);

  // Fault plans count the drivers' calls only; this test calls as the kernel.
  kernel().faults->FailNth(FaultKind::File, 1);
  ASSERT_EQ(OpenConfig(&file), STATUS_SUCCESS);
  EXPECT_EQ(kernel().faults->Calls(FaultKind::File), 0u);
  Close(file);
}

}  // namespace
}  // namespace sim
