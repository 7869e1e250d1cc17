# Fails when the given library holds a floating-point fused multiply-add:
# the converter's arithmetic must round the product before the addition.
execute_process(COMMAND ${OBJDUMP} -d ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -d ${LIBRARY} failed")
endif()
string(REGEX MATCHALL "[ \t]vfn?m(add|sub)[0-9a-z]*" fused "${listing}")
if(fused)
  message(FATAL_ERROR "fused multiply-add in ${LIBRARY}:${fused}")
endif()
string(REGEX MATCHALL "[ \t]vmulsd" products "${listing}")
if(NOT products)
  message(FATAL_ERROR "no double multiplication found in ${LIBRARY}; is the listing right?")
endif()
