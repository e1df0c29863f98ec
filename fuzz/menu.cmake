# Menu save and add over arbitrary bodies, against a real database file.
tavolex_fuzz(menu_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/menu_fuzz.cpp tavolex_menu)
target_include_directories(menu_fuzz PRIVATE ${PROJECT_SOURCE_DIR}/src/menu)
