# The Windows images are built from the same sources in a nested build that
# uses the cross toolchain; the test suite then checks what was linked.
include(ExternalProject)
ExternalProject_Add(zark_windows
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/windows
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-x86_64.cmake
             -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)

set(ZARK_MINGW_GCC x86_64-w64-mingw32-gcc)
set(ZARK_MINGW_GXX x86_64-w64-mingw32-g++)
set(ZARK_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
set(ZARK_MINGW_NM x86_64-w64-mingw32-nm)
set(ZARK_CHECK_IMAGE python3 ${CMAKE_SOURCE_DIR}/packaging/check_image.py
    --objdump ${ZARK_MINGW_OBJDUMP} --nm ${ZARK_MINGW_NM})

# The card driver carries its WMI blocks' managed object format.
add_test(NAME windows_image_zarkcard
  COMMAND ${ZARK_CHECK_IMAGE} --resource MOFDATA/MOFRESOURCE ${ZARK_SYS_IMAGE_DIR}/zarkcard.sys)
add_test(NAME windows_image_zarkenum
  COMMAND ${ZARK_CHECK_IMAGE} ${ZARK_SYS_IMAGE_DIR}/zarkenum.sys)
# The configuration tool: a console program that needs no DLL but the system's.
add_test(NAME windows_image_zarkcfg
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tools/zarkcfg/check_image.py ${ZARK_MINGW_OBJDUMP}
          ${CMAKE_BINARY_DIR}/windows/tools/zarkcfg/zarkcfg.exe)
# The bench's serial port driver, start hand-off filter and mouse driver are
# not shipped, but they are kernel images all the same.
foreach(_bench_image KALVOR1110 PortHandOff SerialMouse)
  add_test(NAME windows_image_${_bench_image}
    COMMAND ${ZARK_CHECK_IMAGE} ${ZARK_SYS_IMAGE_DIR}/${_bench_image}.sys)
endforeach()

# The checker itself, on small images built here: one it must accept and a
# few it must reject, each for its own reason.
set(_samples ${CMAKE_BINARY_DIR}/image_check_samples)
file(MAKE_DIRECTORY ${_samples})
file(WRITE ${_samples}/driver.c
  "typedef long NTSTATUS;\n"
  "__declspec(dllimport) unsigned char IoIsWdmVersionAvailable(unsigned char, unsigned char);\n"
  "NTSTATUS DriverEntry(void* DriverObject, void* RegistryPath) {\n"
  "  (void)DriverObject; (void)RegistryPath;\n"
  "  return IoIsWdmVersionAvailable(1, 0) ? 0 : (NTSTATUS)0xC0000001L;\n"
  "}\n"
  "NTSTATUS OtherEntry(void* DriverObject, void* RegistryPath) { return DriverEntry(DriverObject, RegistryPath); }\n")
file(WRITE ${_samples}/console.c
  "#include <stdio.h>\nint main(void) { puts(\"hello\"); return 0; }\n")
# A namespace-scope object with a constructor: GCC lists its initialiser in .ctors.
file(WRITE ${_samples}/constructor.cpp
  "typedef long NTSTATUS;\n"
  "extern \"C\" __declspec(dllimport) unsigned char IoIsWdmVersionAvailable(unsigned char, unsigned char);\n"
  "struct Version { unsigned char wdm; Version() : wdm(IoIsWdmVersionAvailable(1, 0)) {} };\n"
  "Version version;\n"
  "extern \"C\" NTSTATUS DriverEntry(void*, void*) { return version.wdm ? 0 : (NTSTATUS)0xC0000001L; }\n")
# An initialiser placed where other compilers put them: MSVC's .CRT$XCU
# table, or .init_array with -DINIT_ARRAY.
file(WRITE ${_samples}/initialiser.c
  "typedef long NTSTATUS;\n"
  "__declspec(dllimport) unsigned char IoIsWdmVersionAvailable(unsigned char, unsigned char);\n"
  "static unsigned char wdm;\n"
  "static void Initialise(void) { wdm = IoIsWdmVersionAvailable(1, 0); }\n"
  "#ifdef INIT_ARRAY\n"
  "__attribute__((section(\".init_array\"), used)) static void (*const initialiser)(void) = Initialise;\n"
  "#else\n"
  "__attribute__((section(\".CRT$XCU\"), used)) static void (*const initialiser)(void) = Initialise;\n"
  "#endif\n"
  "NTSTATUS DriverEntry(void* d, void* r) { (void)d; (void)r; return wdm ? 0 : (NTSTATUS)0xC0000001L; }\n")
# Thread-local data as native TLS lays it out: a .tls section and the TLS
# directory (_tls_used). mingw's GCC only has emulated TLS, whose __thread
# variables need a runtime and so do not even link into a kernel image.
file(WRITE ${_samples}/thread_local.c
  "typedef long NTSTATUS;\n"
  "typedef unsigned long long ULONGLONG;\n"
  "__declspec(dllimport) unsigned char IoIsWdmVersionAvailable(unsigned char, unsigned char);\n"
  "__attribute__((section(\".tls$AAA\"))) char tls_start = 0;\n"
  "__attribute__((section(\".tls\"))) unsigned char wdm_major = 1;\n"
  "__attribute__((section(\".tls$ZZZ\"))) char tls_end = 0;\n"
  "unsigned int _tls_index;\n"
  "const struct { ULONGLONG Start, End, Index, Callbacks; unsigned int ZeroFill, Characteristics; } _tls_used =\n"
  "  {(ULONGLONG)&tls_start, (ULONGLONG)&tls_end, (ULONGLONG)&_tls_index, 0, 0, 0};\n"
  "NTSTATUS DriverEntry(void* d, void* r) {\n"
  "  (void)d; (void)r;\n"
  "  return IoIsWdmVersionAvailable(wdm_major, 0) ? 0 : (NTSTATUS)0xC0000001L;\n"
  "}\n")
# The processor number as KeGetCurrentProcessorNumber reads it, from the
# processor block: a field the simulated machine does not have.
file(WRITE ${_samples}/processor_number.c
  "typedef long NTSTATUS;\n"
  "__declspec(dllimport) unsigned char IoIsWdmVersionAvailable(unsigned char, unsigned char);\n"
  "NTSTATUS DriverEntry(void* d, void* r) {\n"
  "  unsigned short number;\n"
  "  (void)d; (void)r;\n"
  "  __asm__ volatile(\"mov %%gs:0x184, %0\" : \"=r\"(number));\n"
  "  return IoIsWdmVersionAvailable(1, (unsigned char)number) ? 0 : (NTSTATUS)0xC0000001L;\n"
  "}\n")
set(_driver_link -O2 -nostdlib -Wl,--subsystem,native -Wl,--wdmdriver -lntoskrnl)
set(_rejected_samples constructor.sys crt_initialiser.sys init_array.sys thread_local.sys processor_number.sys)
list(TRANSFORM _rejected_samples PREPEND ${_samples}/)
add_custom_command(
  OUTPUT ${_samples}/good.sys ${_samples}/wrong_entry.sys ${_samples}/as_dll.sys ${_samples}/console.exe
         ${_samples}/bad_checksum.sys ${_rejected_samples}
  COMMAND ${ZARK_MINGW_GCC} ${_samples}/driver.c -o ${_samples}/good.sys -Wl,--entry,DriverEntry ${_driver_link}
  COMMAND ${ZARK_MINGW_GCC} ${_samples}/driver.c -o ${_samples}/wrong_entry.sys -Wl,--entry,OtherEntry ${_driver_link}
  COMMAND ${ZARK_MINGW_GCC} ${_samples}/driver.c -o ${_samples}/as_dll.sys -shared -Wl,--entry,DriverEntry
          ${_driver_link}
  COMMAND ${ZARK_MINGW_GCC} ${_samples}/console.c -o ${_samples}/console.exe
  COMMAND python3 -c "import sys; d = bytearray(open(sys.argv[1], 'rb').read()); d[-1] ^= 1; open(sys.argv[2], 'wb').write(d)"
          ${_samples}/good.sys ${_samples}/bad_checksum.sys
  COMMAND ${ZARK_MINGW_GXX} ${_samples}/constructor.cpp -o ${_samples}/constructor.sys -Wl,--entry,DriverEntry
          ${_driver_link}
  COMMAND ${ZARK_MINGW_GCC} ${_samples}/initialiser.c -o ${_samples}/crt_initialiser.sys -Wl,--entry,DriverEntry
          ${_driver_link}
  COMMAND ${ZARK_MINGW_GCC} -DINIT_ARRAY ${_samples}/initialiser.c -o ${_samples}/init_array.sys
          -Wl,--entry,DriverEntry ${_driver_link}
  COMMAND ${ZARK_MINGW_GCC} ${_samples}/thread_local.c -o ${_samples}/thread_local.sys -Wl,--entry,DriverEntry
          ${_driver_link}
  COMMAND ${ZARK_MINGW_GCC} ${_samples}/processor_number.c -o ${_samples}/processor_number.sys
          -Wl,--entry,DriverEntry ${_driver_link}
  DEPENDS ${_samples}/driver.c ${_samples}/console.c ${_samples}/constructor.cpp ${_samples}/initialiser.c
          ${_samples}/thread_local.c ${_samples}/processor_number.c
  COMMENT "Building sample images for the image checker"
  VERBATIM)
add_custom_target(image_check_samples ALL
  DEPENDS ${_samples}/good.sys ${_samples}/wrong_entry.sys ${_samples}/as_dll.sys ${_samples}/console.exe
          ${_samples}/bad_checksum.sys ${_rejected_samples})

# A rejection passes when the checker names the fault and exits with 1.
function(zark_image_check_rejects name image expected)
  add_test(NAME ${name} COMMAND sh -c "\"$@\"; echo \"exit status $?\"" sh ${ZARK_CHECK_IMAGE} ${image})
  set_tests_properties(${name} PROPERTIES PASS_REGULAR_EXPRESSION "${expected}.*exit status 1")
endfunction()

add_test(NAME image_check_accepts_driver COMMAND ${ZARK_CHECK_IMAGE} ${_samples}/good.sys)
zark_image_check_rejects(image_check_rejects_wrong_entry ${_samples}/wrong_entry.sys
  "entry point is at RVA 0x[0-9a-f]+, DriverEntry at RVA")
zark_image_check_rejects(image_check_rejects_bad_checksum ${_samples}/bad_checksum.sys
  "checksum is 0x[0-9a-f]+, the image sums to 0x[0-9a-f]+")
zark_image_check_rejects(image_check_rejects_missing_resource "--resource;MOFDATA/MOFRESOURCE;${_samples}/good.sys"
  "good.sys: has no resource MOFRESOURCE of type MOFDATA")
zark_image_check_rejects(image_check_rejects_dll ${_samples}/as_dll.sys "linked as a DLL")
zark_image_check_rejects(image_check_rejects_console_program ${_samples}/console.exe
  "subsystem is 3, not native.*imports from (KERNEL32|msvcrt)")
zark_image_check_rejects(image_check_rejects_static_constructor ${_samples}/constructor.sys
  "constructor.sys: has static constructors \\(1 in \\.ctors\\); nothing runs them in a kernel image")
zark_image_check_rejects(image_check_rejects_crt_initialiser ${_samples}/crt_initialiser.sys
  "crt_initialiser.sys: has start-up or exit routines \\(1 in \\.CRT\\); nothing runs them in a kernel image")
zark_image_check_rejects(image_check_rejects_init_array ${_samples}/init_array.sys
  "init_array.sys: has static constructors \\(1 in \\.init_array\\); nothing runs them in a kernel image")
zark_image_check_rejects(image_check_rejects_processor_block_access ${_samples}/processor_number.sys
  "processor_number.sys: reaches the processor block other than for the current thread \\([0-9a-f]+: mov +%gs:0x184")
zark_image_check_rejects(image_check_rejects_thread_local_storage ${_samples}/thread_local.sys
  "thread_local.sys: uses thread-local storage \\(TLS directory present\\)")

# The scenario suite a second time on the .sys images the build above makes.
# Every scenario file and zarksim's default machine run on both kinds and
# their reports must agree; the whole-machine tests of the scenario program
# and of detection, COM naming and the control device boot their machines
# from the .sys images (the seeded sweeps over fewer seeds: their seeds run
# in full on the host images).
file(GLOB _scenario_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scenario/files/*.json)
add_test(NAME scenario_files.host_and_sys
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/scenario/compare_image_kinds.py --zarksim $<TARGET_FILE:zarksim>
          ${_scenario_files})
set(_sys_pass_properties ENVIRONMENT ZARK_SEED_COUNT=8)
gtest_discover_tests(scenario_tests EXTRA_ARGS --images=sys TEST_SUFFIX .sys TEST_FILTER -ScenarioFileTest.*:BadScenarios/*
  DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${_sys_pass_properties})
gtest_discover_tests(enum_tests EXTRA_ARGS --images=sys TEST_SUFFIX .sys TEST_FILTER Detection*
  DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${_sys_pass_properties})
gtest_discover_tests(card_tests EXTRA_ARGS --images=sys TEST_SUFFIX .sys TEST_FILTER ControlDevice*
  DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${_sys_pass_properties})
# zarkcfg speaks the card's control codes to the zarkcard.sys of a machine.
add_test(NAME zarkcfg.commands_on_sys_images
  COMMAND zarkcfg --images sys --scenario ${CMAKE_SOURCE_DIR}/tests/scenario/files/twelve_port_card.json --json
          set-fifo 3 6 get-fifo 3 port-info COM3)
set_tests_properties(zarkcfg.commands_on_sys_images PROPERTIES
  PASS_REGULAR_EXPRESSION "\"fifo\": 6,.*\"com_name\": \"COM3\"")
