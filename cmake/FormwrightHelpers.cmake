# Build graph helpers. Every folder of vision/, sdk/ and tests/ that holds .cpp or .c files is
# named exactly once in a CMakeLists.txt through one of the functions below; the configure step
# fails when a folder with sources is left out (see formwright_check_source_folders), so that no
# source file is silently skipped.

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

# Records folders (relative to the current source folder) as listed; a folder is listed once.
# A listed folder need not exist yet: it simply adds no sources until it does (a misspelt name
# cannot hide sources, since the folder that really holds them is then unlisted).
function(formwright_list_folders)
  get_property(listed GLOBAL PROPERTY FORMWRIGHT_LISTED_FOLDERS)
  foreach(dir ${ARGN})
    get_filename_component(path ${CMAKE_CURRENT_SOURCE_DIR}/${dir} ABSOLUTE)
    if(path IN_LIST listed)
      message(FATAL_ERROR "Source folder ${path} is listed twice")
    endif()
    list(APPEND listed ${path})
  endforeach()
  set_property(GLOBAL PROPERTY FORMWRIGHT_LISTED_FOLDERS ${listed})
endfunction()

# Collects the .cpp and .c files of the given folders, each folder on its own (no recursion:
# a subfolder is a folder of its own and is listed separately).
function(formwright_collect out)
  set(files)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.c)
    list(APPEND files ${found})
  endforeach()
  formwright_simd_flags(${files})
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# formwright_library(<target> FOLDERS <dir>... [PUBLIC <dep>...] [PRIVATE <dep>...])
# One module: a static library of the folders' sources, or an interface library while the folders
# hold headers only. Headers are included by their path below the current source folder
# (e.g. "Image/Image.h" from vision/).
function(formwright_library target)
  cmake_parse_arguments(ARG "" "" "FOLDERS;PUBLIC;PRIVATE" ${ARGN})
  formwright_list_folders(${ARG_FOLDERS})
  formwright_collect(sources ${ARG_FOLDERS})
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${ARG_PUBLIC})
  endif()
endfunction()

# Fails the configure step when a folder below one of the given trees (relative to the project
# folder) holds .cpp or .c files but was not listed. New files re-run the check on the next build.
function(formwright_check_source_folders)
  get_property(listed GLOBAL PROPERTY FORMWRIGHT_LISTED_FOLDERS)
  set(unlisted)
  foreach(tree ${ARGN})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${tree}/*.cpp ${PROJECT_SOURCE_DIR}/${tree}/*.c)
    foreach(file ${found})
      get_filename_component(dir ${file} DIRECTORY)
      if(NOT dir IN_LIST listed AND NOT dir IN_LIST unlisted)
        list(APPEND unlisted ${dir})
      endif()
    endforeach()
  endforeach()
  if(unlisted)
    list(JOIN unlisted "\n  " text)
    message(FATAL_ERROR "These folders hold source files but are not listed in a CMakeLists.txt "
                        "(add them to formwright_library / formwright_test):\n  ${text}")
  endif()
endfunction()
