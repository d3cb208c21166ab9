#include "sim/kernel/pe/unwind_frames.h"

#include <cstring>
#include <optional>

extern "C" void __register_frame(void* begin);
extern "C" void __deregister_frame(void* begin);

namespace sim::pe {

namespace {

// RUNTIME_FUNCTION and UNWIND_INFO, as the x64 exception-handling
// documentation lays them out.
struct RuntimeFunction {
  uint32_t begin;
  uint32_t end;
  uint32_t unwind_info;
};

enum UnwindOp : uint8_t {
  kPushNonvol = 0,
  kAllocLarge = 1,
  kAllocSmall = 2,
  kSetFpreg = 3,
  kSaveNonvol = 4,
  kSaveNonvolFar = 5,
  kSaveXmm128 = 8,
  kSaveXmm128Far = 9,
  kPushMachframe = 10,
};

constexpr uint8_t kChainInfo = 0x04;

// Windows register numbers (RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8..R15)
// to DWARF's for x86-64.
constexpr uint8_t kDwarfRegister[16] = {0, 2, 1, 3, 7, 6, 4, 5, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr uint8_t kDwarfReturnAddress = 16;

// Where a function's frame stands once its prolog has run.
struct Frame {
  uint8_t prolog_size = 0;
  bool frame_register = false;
  uint8_t cfa_register = 7;  // DWARF number
  int64_t cfa_offset = 8;
  std::vector<std::pair<uint8_t, int64_t>> saved;  // DWARF register, offset from the CFA
};

std::optional<Frame> Translate(const uint8_t* base, size_t size, uint32_t info_rva) {
  if (info_rva > size || size - info_rva < 4) return std::nullopt;
  const uint8_t* info = base + info_rva;
  const uint8_t version = info[0] & 7;
  const uint8_t flags = info[0] >> 3;
  const uint8_t count = info[2];
  // Version 2 adds epilog codes, which this translation does not read.
  if (version != 1) return std::nullopt;
  if (flags & kChainInfo) return std::nullopt;  // not emitted by the toolchain; left out
  if (size - info_rva < 4 + 2ull * count) return std::nullopt;
  const auto slot = [&](unsigned i) { return static_cast<uint16_t>(info[4 + 2 * i] | info[5 + 2 * i] << 8); };
  Frame frame;
  frame.prolog_size = info[1];
  const uint8_t fp_register = info[3] & 0x0F;
  const int64_t fp_offset = 16 * (info[3] >> 4);
  // The codes come in reverse prolog order: collect them, then replay the
  // prolog forward, tracking how far RSP is below the CFA.
  struct Code {
    uint8_t op, info;
    uint32_t operand;
  };
  std::vector<Code> codes;
  for (unsigned i = 0; i < count;) {
    const uint8_t op = slot(i) >> 8 & 0x0F;
    const uint8_t op_info = slot(i) >> 12;
    Code code{op, op_info, 0};
    switch (op) {
      case kPushNonvol:
      case kAllocSmall:
      case kSetFpreg: i += 1; break;
      case kAllocLarge:
        if (op_info == 0) {
          if (i + 1 >= count) return std::nullopt;
          code.operand = slot(i + 1) * 8u;
          i += 2;
        } else {
          if (i + 2 >= count) return std::nullopt;
          code.operand = slot(i + 1) | static_cast<uint32_t>(slot(i + 2)) << 16;
          i += 3;
        }
        break;
      case kSaveNonvol:
      case kSaveXmm128:
        if (i + 1 >= count) return std::nullopt;
        code.operand = slot(i + 1) * (op == kSaveNonvol ? 8u : 16u);
        i += 2;
        break;
      case kSaveNonvolFar:
      case kSaveXmm128Far:
        if (i + 2 >= count) return std::nullopt;
        code.operand = slot(i + 1) | static_cast<uint32_t>(slot(i + 2)) << 16;
        i += 3;
        break;
      default: return std::nullopt;  // a machine frame: interrupt handlers only
    }
    codes.push_back(code);
  }
  int64_t depth = 8;  // the return address
  int64_t depth_at_fp = -1;
  struct SavedAt {
    uint8_t reg;
    uint32_t offset;
  };
  std::vector<SavedAt> moved;  // saved by MOV, relative to the frame's base
  for (auto it = codes.rbegin(); it != codes.rend(); ++it) {
    switch (it->op) {
      case kPushNonvol:
        depth += 8;
        frame.saved.emplace_back(kDwarfRegister[it->info], -depth);
        break;
      case kAllocSmall: depth += 8 * it->info + 8; break;
      case kAllocLarge: depth += it->operand; break;
      case kSetFpreg: depth_at_fp = depth; break;
      case kSaveNonvol:
      case kSaveNonvolFar: moved.push_back({it->info, it->operand}); break;
      default: break;  // XMM registers: the host's convention keeps none across calls
    }
  }
  // A MOV-saved register's offset counts from the fixed allocation's start:
  // RSP after the prolog, or the frame register less its offset.
  const int64_t frame_base = depth_at_fp >= 0 ? depth_at_fp : depth;
  for (const SavedAt& save : moved) frame.saved.emplace_back(kDwarfRegister[save.reg], -(frame_base - save.offset));
  if (depth_at_fp >= 0) {
    if (fp_register == 0 || depth_at_fp < fp_offset) return std::nullopt;
    frame.frame_register = true;
    frame.cfa_register = kDwarfRegister[fp_register];
    frame.cfa_offset = depth_at_fp - fp_offset;
  } else {
    frame.cfa_offset = depth;
  }
  return frame;
}

void Uleb(std::vector<uint8_t>& out, uint64_t value) {
  do {
    uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value) byte |= 0x80;
    out.push_back(byte);
  } while (value);
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> 8 * i));
}

void Put64(std::vector<uint8_t>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(value >> 8 * i));
}

// Pads a record to a multiple of 8 with DW_CFA_nop and writes its length.
void Close(std::vector<uint8_t>& out, size_t start) {
  while ((out.size() - start) % 8) out.push_back(0);
  const uint32_t length = static_cast<uint32_t>(out.size() - start - 4);
  std::memcpy(out.data() + start, &length, 4);
}

constexpr uint8_t kCfaDefCfa = 0x0c;
constexpr uint8_t kCfaOffset = 0x80;  // | register, then ULEB factored offset
constexpr uint8_t kCfaOffsetExtended = 0x05;
constexpr uint8_t kCfaAdvanceLoc1 = 0x02;

// One function's FDE; false, with nothing appended, when a saved register
// lies where DWARF's factored offsets cannot say.
bool AppendFde(std::vector<uint8_t>& out, size_t cie, const uint8_t* begin, uint64_t length, const Frame& frame) {
  for (const auto& [reg, offset] : frame.saved)
    if (offset >= 0 || -offset % 8) return false;
  const size_t fde = out.size();
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(out.size() - cie));  // back to the CIE
  Put64(out, reinterpret_cast<uint64_t>(begin));
  Put64(out, length);
  Uleb(out, 0);
  // The prolog's own instructions are never a call site, so the rules
  // describe the frame from the prolog's end.
  if (frame.prolog_size) {
    out.push_back(kCfaAdvanceLoc1);
    out.push_back(frame.prolog_size);
  }
  out.push_back(kCfaDefCfa);
  Uleb(out, frame.cfa_register);
  Uleb(out, static_cast<uint64_t>(frame.cfa_offset));
  for (const auto& [reg, offset] : frame.saved) {
    if (reg < 64) {
      out.push_back(static_cast<uint8_t>(kCfaOffset | reg));
    } else {
      out.push_back(kCfaOffsetExtended);
      Uleb(out, reg);
    }
    Uleb(out, static_cast<uint64_t>(-offset / 8));
  }
  Close(out, fde);
  return true;
}

}  // namespace

std::unique_ptr<RegisteredFrames> RegisteredFrames::Register(const uint8_t* base, size_t size, uint32_t table_rva,
                                                             uint32_t table_size, size_t* skipped) {
  *skipped = 0;
  if (table_rva > size || size - table_rva < table_size || table_size < sizeof(RuntimeFunction)) return nullptr;
  std::unique_ptr<RegisteredFrames> registered(new RegisteredFrames);
  std::vector<uint8_t>& out = registered->frames_;
  // The CIE: version 1, augmentation "zR" with absolute 8-byte addresses,
  // code alignment 1, data alignment -8, return address in register 16;
  // on entry the CFA is RSP + 8 and the return address just below it.
  const size_t cie = out.size();
  Put32(out, 0);
  Put32(out, 0);
  out.push_back(1);
  for (char c : {'z', 'R', '\0'}) out.push_back(static_cast<uint8_t>(c));
  Uleb(out, 1);
  out.push_back(0x78);  // SLEB128 -8
  out.push_back(kDwarfReturnAddress);
  Uleb(out, 1);
  out.push_back(0x00);  // DW_EH_PE_absptr
  out.push_back(kCfaDefCfa);
  Uleb(out, 7);
  Uleb(out, 8);
  out.push_back(kCfaOffset | kDwarfReturnAddress);
  Uleb(out, 1);
  Close(out, cie);

  const auto* table = reinterpret_cast<const RuntimeFunction*>(base + table_rva);
  for (size_t i = 0; i < table_size / sizeof(RuntimeFunction); ++i) {
    RuntimeFunction function;
    std::memcpy(&function, &table[i], sizeof function);
    if (function.begin >= function.end || function.end > size) {
      ++*skipped;
      continue;
    }
    const std::optional<Frame> frame = Translate(base, size, function.unwind_info);
    if (!frame) {
      ++*skipped;
      continue;
    }
    if (AppendFde(out, cie, base + function.begin, function.end - function.begin, *frame))
      ++registered->functions_;
    else
      ++*skipped;
  }
  Put32(out, 0);  // the end of the list
  __register_frame(out.data());
  return registered;
}

RegisteredFrames::~RegisteredFrames() { __deregister_frame(frames_.data()); }

}  // namespace sim::pe
