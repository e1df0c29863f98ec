# Text runs of any bytes, with random position lists, laid out and embedded.
tavolex_fuzz(text_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/text_fuzz.cpp tavolex_pdf)
# Stored font answers of any bytes, read, asked and written back.
tavolex_fuzz(font_lookups_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/font_lookups_fuzz.cpp tavolex_pdf)
