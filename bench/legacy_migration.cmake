# The conversion of 200 legacy menus of 60 items each: in process, and as the owner waits for it.
add_executable(legacy_migration_bench ${CMAKE_CURRENT_SOURCE_DIR}/legacy_migration_bench.cpp)
target_link_libraries(legacy_migration_bench PRIVATE tavolex_options tavolex_menu tavolex_db tavolex_json
                      tavolex_core tavolex_platform)
target_include_directories(legacy_migration_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_compile_definitions(legacy_migration_bench PRIVATE TAVOLEX_BINARY="$<TARGET_FILE:tavolex>")
add_dependencies(legacy_migration_bench tavolex)
