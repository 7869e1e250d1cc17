# The soak test of the capture driver, run by bench/soak.sh; built on request.
add_executable(pcmtap_soak EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_link_libraries(pcmtap_soak PRIVATE pcmtap_core)
target_include_directories(pcmtap_soak PRIVATE ${PROJECT_SOURCE_DIR})
