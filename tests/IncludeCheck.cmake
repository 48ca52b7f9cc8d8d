# Plants includes of headers of modules that the including target does not link into a copy of
# the project, one of each kind the configure step checks (a library's angle-bracket include, a
# test's quoted one, a benchmark's when they are built); configuring the copy must refuse each.
# cmake -DSOURCE=<project folder> -DWORK=<scratch folder> -DGENERATOR=<generator> -DBENCH=<ON|OFF>
#       -P IncludeCheck.cmake
file(REMOVE_RECURSE ${WORK})
foreach(item CMakeLists.txt cmake app vision sdk bench tests)
  file(COPY ${SOURCE}/${item} DESTINATION ${WORK}/src)
endforeach()
function(plant file header)
  file(READ ${WORK}/src/${file} text)
  file(WRITE ${WORK}/src/${file} "#include ${header}\n${text}")
endfunction()
plant(vision/Image/Image.cpp "<Renderer/MeshModel.h>")
plant(tests/Image/DrawingTest.cpp "\"Renderer/MeshModel.h\"")
set(faults "vision/Image/Image.cpp includes <Renderer/MeshModel.h> of lumetra_renderer, which lumetra_image"
           "tests/Image/DrawingTest.cpp includes \"Renderer/MeshModel.h\" of lumetra_renderer, which test_Image")
if(BENCH)
  plant(bench/ImageBench.cpp "<support/Process.h>")
  list(APPEND faults "bench/ImageBench.cpp includes <support/Process.h> of formwright_testsupport, which formwright_bench")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK}/src -B ${WORK}/build -G ${GENERATOR} -DFORMWRIGHT_BUILD_BENCH=${BENCH}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE errors)
string(REGEX REPLACE "[ \t\r\n]+" " " errors "${errors}")
foreach(fault ${faults})
  string(FIND "${errors}" "${fault}" at)
  if(status EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "The configure step let this through: ${fault}\n${errors}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
