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

# formwright_module(<target> ROOT <dir> FILES <file>... [PUBLIC <dep>...] [PRIVATE <dep>...])
# Records which files a module owns (absolute paths), the folder its headers are included from and
# the modules it links, for formwright_check_includes. A header claimed by a module declared
# earlier (the records' headers inside another module's folder) stays with that module.
function(formwright_module target)
  cmake_parse_arguments(ARG "" "ROOT" "FILES;PUBLIC;PRIVATE" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY FORMWRIGHT_MODULES ${target})
  set_property(GLOBAL PROPERTY FORMWRIGHT_ROOT_${target} ${ARG_ROOT})
  set_property(GLOBAL PROPERTY FORMWRIGHT_PUBLIC_${target} ${ARG_PUBLIC})
  set_property(GLOBAL PROPERTY FORMWRIGHT_PRIVATE_${target} ${ARG_PRIVATE})
  set(files)
  foreach(file ${ARG_FILES})
    get_filename_component(path ${file} ABSOLUTE)
    list(APPEND files ${path})
    set_property(GLOBAL PROPERTY "FORMWRIGHT_OWNER:${path}" ${target})
  endforeach()
  set_property(GLOBAL PROPERTY FORMWRIGHT_FILES_${target} ${files})
endfunction()

# formwright_library(<target> FOLDERS <dir>... [PUBLIC <dep>...] [PRIVATE <dep>...])
# formwright_library(<target> HEADERS <header>... [PUBLIC <dep>...])
# One module: a static library of the folders' sources, or an interface library while the folders
# hold headers only. Headers are included by their path below the current source folder
# (e.g. "Image/Image.h" from vision/). The HEADERS form makes an interface library of single
# headers that sit in another module's folder but do not depend on it (plain records).
function(formwright_library target)
  cmake_parse_arguments(ARG "" "" "FOLDERS;HEADERS;PUBLIC;PRIVATE" ${ARGN})
  set(owned)
  foreach(header ${ARG_HEADERS})
    list(APPEND owned ${CMAKE_CURRENT_SOURCE_DIR}/${header})
  endforeach()
  if(ARG_FOLDERS)
    formwright_list_folders(${ARG_FOLDERS})
    formwright_collect(sources ${ARG_FOLDERS})
    foreach(dir ${ARG_FOLDERS})
      file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.h)
      foreach(header ${headers})
        get_property(owner GLOBAL PROPERTY "FORMWRIGHT_OWNER:${header}")
        if(NOT owner)
          list(APPEND owned ${header})
        endif()
      endforeach()
    endforeach()
    list(APPEND owned ${sources})
  endif()
  formwright_module(${target} ROOT ${CMAKE_CURRENT_SOURCE_DIR} FILES ${owned}
                    PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
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

# The modules whose headers <target> may include: its own, those it links, and those that they
# link publicly, at any depth.
function(formwright_visible_modules target out)
  get_property(public GLOBAL PROPERTY FORMWRIGHT_PUBLIC_${target})
  get_property(private GLOBAL PROPERTY FORMWRIGHT_PRIVATE_${target})
  set(visible ${target})
  set(pending ${public} ${private})
  while(pending)
    list(POP_FRONT pending dep)
    if(NOT dep IN_LIST visible)
      list(APPEND visible ${dep})
      get_property(more GLOBAL PROPERTY FORMWRIGHT_PUBLIC_${dep})
      list(APPEND pending ${more})
    endif()
  endwhile()
  set(${out} ${visible} PARENT_SCOPE)
endfunction()

# Fails the configure step when a module's file includes a header of a module that it does not
# link (directly, or publicly through a module it links): such a file compiles only because the
# modules share an include root, and breaks as soon as the graph changes.
function(formwright_check_includes)
  get_property(modules GLOBAL PROPERTY FORMWRIGHT_MODULES)
  set(roots)
  foreach(module ${modules})
    get_property(root GLOBAL PROPERTY FORMWRIGHT_ROOT_${module})
    list(APPEND roots ${root})
  endforeach()
  # Last, the project folder: a header included by its place in the project ("app/Configs.h").
  list(APPEND roots ${PROJECT_SOURCE_DIR})
  list(REMOVE_DUPLICATES roots)
  set(faults)
  foreach(module ${modules})
    formwright_visible_modules(${module} visible)
    get_property(files GLOBAL PROPERTY FORMWRIGHT_FILES_${module})
    foreach(file ${files})
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
      file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
      get_filename_component(here ${file} DIRECTORY)
      foreach(line ${lines})
        string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" included "${line}")
        # A quoted include is looked up beside the including file first, then in the include roots
        # and the project folder.
        set(owner)
        foreach(dir ${here} ${roots})
          if(EXISTS ${dir}/${included})
            get_filename_component(path ${dir}/${included} ABSOLUTE)
            get_property(owner GLOBAL PROPERTY "FORMWRIGHT_OWNER:${path}")
            break()
          endif()
        endforeach()
        if(owner AND NOT owner IN_LIST visible)
          file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${file})
          list(APPEND faults "${shown} includes \"${included}\" of ${owner}, which ${module} does not link")
        endif()
      endforeach()
    endforeach()
  endforeach()
  if(faults)
    list(JOIN faults "\n  " text)
    message(FATAL_ERROR "Modules include headers of modules they do not link:\n  ${text}")
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
