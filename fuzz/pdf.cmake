# The document pipeline's parsers: the XML reader, the whole SVG page parse, and path data.
tavolex_fuzz(xml_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/xml_fuzz.cpp tavolex_pdf)
tavolex_fuzz(svg_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/svg_fuzz.cpp tavolex_pdf)
tavolex_fuzz(path_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/path_fuzz.cpp tavolex_pdf)
