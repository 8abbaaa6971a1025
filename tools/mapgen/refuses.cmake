# Runs the tool with a bad --pixel and checks that it fails, writes nothing and names the argument.
execute_process(COMMAND ${TOOL} --size 64x48 --pixel=${PIXEL} ${CMAKE_CURRENT_BINARY_DIR}/refused.png
    RESULT_VARIABLE result ERROR_VARIABLE error)
if(result EQUAL 0)
    message(FATAL_ERROR "--pixel ${PIXEL} was accepted")
endif()
if(NOT error MATCHES "--pixel ${PIXEL}: want a finite number of metres greater than 0")
    message(FATAL_ERROR "unexpected message: ${error}")
endif()
if(EXISTS ${CMAKE_CURRENT_BINARY_DIR}/refused.png)
    message(FATAL_ERROR "a map was written")
endif()
