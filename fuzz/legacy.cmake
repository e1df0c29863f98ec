# ParseMoneyText, and the legacy menu conversion over arbitrary CONTENT in a real database file.
tavolex_fuzz(legacy_migration_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/legacy_migration_fuzz.cpp tavolex_menu)
