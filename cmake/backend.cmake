# Building the same CUDA C++ sources for either backend.
#
# Numbers must come out bit for bit the same on both backends: no fused
# multiply-add contraction, IEEE division and square root, no fast-math.

set(VDWFLOW_WARNINGS -Wall -Wextra)

if(VDWFLOW_BACKEND STREQUAL "cuda")
  find_package(CUDAToolkit REQUIRED)
  set(CMAKE_CUDA_STANDARD 17)
  set(CMAKE_CUDA_STANDARD_REQUIRED ON)
  add_library(vdwflow_device_flags INTERFACE)
  target_compile_options(vdwflow_device_flags INTERFACE
    $<$<COMPILE_LANGUAGE:CUDA>:--fmad=false -prec-div=true -prec-sqrt=true -ftz=false
      -Xcompiler=-Wall,-Wextra,-ffp-contract=off>
    $<$<COMPILE_LANGUAGE:CXX>:${VDWFLOW_WARNINGS} -ffp-contract=off>)
  target_link_libraries(vdwflow_device_flags INTERFACE CUDA::cudart)
else()
  # The instruction set of the cpu backend's code: empty for the compiler's
  # default (portable x86-64, SSE2), or a -march value such as "native" (the
  # cpu preset: the vector loops of the lean solver then use the machine's
  # widest vectors). The results are the same bits either way; the bitwise
  # tests hold that on every preset.
  set(VDWFLOW_MARCH "" CACHE STRING "-march of the cpu backend (empty: compiler default)")
  add_library(vdwflow_device_flags INTERFACE)
  target_compile_options(vdwflow_device_flags INTERFACE ${VDWFLOW_WARNINGS} -ffp-contract=off)
  if(VDWFLOW_MARCH)
    target_compile_options(vdwflow_device_flags INTERFACE -march=${VDWFLOW_MARCH})
  endif()
  target_link_libraries(vdwflow_device_flags INTERFACE cudacpu)
endif()
target_include_directories(vdwflow_device_flags INTERFACE ${PROJECT_SOURCE_DIR}/common)

# Marks .cu sources as C++ on the cpu backend (g++ then gets -x c++).
function(vdwflow_cu_sources)
  if(VDWFLOW_BACKEND STREQUAL "cpu")
    foreach(src IN LISTS ARGN)
      if(src MATCHES "\\.cu$")
        set_source_files_properties(${src} PROPERTIES LANGUAGE CXX)
      endif()
    endforeach()
  endif()
endfunction()

# vdwflow_add_program(name sources...): a program on the selected backend.
function(vdwflow_add_program name)
  vdwflow_cu_sources(${ARGN})
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE vdwflow_device_flags)
endfunction()

# vdwflow_add_library(name sources...): a static library on the selected backend.
function(vdwflow_add_library name)
  vdwflow_cu_sources(${ARGN})
  add_library(${name} STATIC ${ARGN})
  target_link_libraries(${name} PUBLIC vdwflow_device_flags)
endfunction()
