# Project-wide build settings: architecture, warnings, sanitizers, and how
# test programs are started.

if(NOT DEFINED VELMO_ARCH)
  set(VELMO_ARCH native CACHE STRING "Target architecture")
endif()
option(VELMO_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(VELMO_ARCH STREQUAL "i386")
  set(VELMO_ARCH_FLAGS -m32)
else()
  set(VELMO_ARCH_FLAGS)
endif()

if(VELMO_SANITIZE)
  set(VELMO_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${VELMO_SANITIZE_FLAGS})
  add_link_options(${VELMO_SANITIZE_FLAGS})
else()
  set(VELMO_SANITIZE_FLAGS)
endif()

# A program built without this preset's sanitizers: their flags are taken
# out of the options it would get from the preset.
function(velmo_without_sanitizers target)
  foreach(property COMPILE_OPTIONS LINK_OPTIONS)
    get_target_property(options ${target} ${property})
    if(options AND VELMO_SANITIZE_FLAGS)
      list(REMOVE_ITEM options ${VELMO_SANITIZE_FLAGS})
      set_target_properties(${target} PROPERTIES ${property} "${options}")
    endif()
  endforeach()
endfunction()

# Warnings are errors in our own code (not in GoogleTest).
function(velmo_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wcast-qual -Wformat=2 -Wundef -Werror)
endfunction()

# A 32-bit build's programs run natively where the kernel runs 32-bit
# programs, and through qemu-i386 where it does not.
# VELMO_FORCE_QEMU tries the qemu path on a machine that needs none.
option(VELMO_FORCE_QEMU "Run 32-bit test programs through qemu-i386 even where they run natively" OFF)
set(VELMO_RUNS_NATIVELY TRUE)
if(VELMO_ARCH STREQUAL "i386")
  try_run(velmo_probe_run velmo_probe_compile
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/probe-run.c
    COMPILE_OUTPUT_VARIABLE velmo_probe_output)
  if(NOT velmo_probe_compile)
    message(FATAL_ERROR "Cannot build 32-bit programs; install g++-multilib.\n${velmo_probe_output}")
  endif()
  if(VELMO_FORCE_QEMU OR NOT velmo_probe_run EQUAL 0)
    set(VELMO_RUNS_NATIVELY FALSE)
    find_program(VELMO_QEMU_I386 qemu-i386 REQUIRED)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VELMO_QEMU_I386})
    message(STATUS "32-bit programs do not run here; tests run through ${VELMO_QEMU_I386}")
  else()
    message(STATUS "32-bit programs run natively here")
  endif()
endif()
