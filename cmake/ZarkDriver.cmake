# zark_add_driver(NAME [FRAME_LIMIT bytes] SOURCES ...): one driver from one
# list of sources. Host: a shared object loaded by the simulated machine, its
# kernel imports resolved against the kernel model. Windows: a native kernel
# image; FRAME_LIMIT makes any larger stack frame a build error there (a
# kernel stack is a few pages; the host build's sanitizers inflate frames,
# so the limit is checked only in the Windows build).
function(zark_add_driver name)
  cmake_parse_arguments(ARG "" "FRAME_LIMIT" "SOURCES" ${ARGN})
  if(ZARK_TARGET_WINDOWS)
    # A kernel image is an executable image (not a DLL: -shared would also
    # export every symbol), relocatable, native subsystem, marked as a WDM
    # driver, entered at DriverEntry, with nothing of the C/C++ runtime.
    # -O2 is required: at -O0 the DDK's ntstrsafe.h drops its inline bodies.
    # Unwind tables stay on: x64 Windows walks driver frames through .pdata.
    # Every image lands in one directory, as the host build's shared objects
    # do, where a machine set to run .sys images finds them.
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES SUFFIX ".sys" PREFIX ""
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/drivers)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${ZARK_DDK_INCLUDE_DIR})
    target_compile_definitions(${name} PRIVATE
      __INTRINSIC_DEFINED_InterlockedBitTestAndSet
      __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
    # No sibling calls: a kernel routine tells its caller by its return
    # address, which a tail call would leave pointing at the caller's caller.
    target_compile_options(${name} PRIVATE
      -O2 -Wall -Wextra -Werror -Wno-multichar
      -fno-exceptions -fno-rtti -ffreestanding -fno-stack-protector -mno-red-zone
      -fno-optimize-sibling-calls)
    if(ARG_FRAME_LIMIT)
      target_compile_options(${name} PRIVATE -Wframe-larger-than=${ARG_FRAME_LIMIT})
    endif()
    target_link_options(${name} PRIVATE
      -nostdlib
      -Wl,--subsystem,native -Wl,--wdmdriver -Wl,--entry,DriverEntry
      -Wl,--image-base,0x140000000 -Wl,--dynamicbase -Wl,--nxcompat)
    # libgcc for ___chkstk_ms, which probes a stack frame larger than a page.
    target_link_libraries(${name} PRIVATE ntoskrnl hal wmilib gcc)
  else()
    add_library(${name} MODULE ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
    target_link_libraries(${name} PRIVATE simkernel_api zark_warnings)
    # Sanitized images leave the sanitizer runtime's symbols to the program.
    if(NOT ZARK_FUZZ_MACHINE)
      target_link_options(${name} PRIVATE -Wl,--no-undefined)
    endif()
  endif()
endfunction()
