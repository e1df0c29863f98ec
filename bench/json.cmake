add_executable(json_bench ${CMAKE_CURRENT_SOURCE_DIR}/json_bench.cpp)
target_link_libraries(json_bench PRIVATE tavolex_options tavolex_json)
