# Source files whose name ends in _avx2.cpp or _sse41.cpp hold SIMD kernels: they are
# compiled with that instruction set and only ever called after a run-time CPU check.
function(formwright_simd_flags)
  foreach(src ${ARGN})
    if(src MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma;-mbmi;-mbmi2;-mpopcnt")
    elseif(src MATCHES "_sse41\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-msse4.1;-mssse3;-mpopcnt")
    endif()
  endforeach()
endfunction()

# Collects the sources of a library from the given folders (no recursion).
function(formwright_collect out)
  set(files)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.c)
    list(APPEND files ${found})
  endforeach()
  formwright_simd_flags(${files})
  set(${out} ${files} PARENT_SCOPE)
endfunction()
