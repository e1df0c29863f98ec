# The text layer on a text-heavy menu: fonts resolved, laid out, embedded as subsets.
add_executable(pdf_text_bench ${CMAKE_CURRENT_SOURCE_DIR}/pdf_text_bench.cpp)
target_link_libraries(pdf_text_bench PRIVATE tavolex_options tavolex_pdf)
tavolex_reach_inside(pdf_text_bench tavolex_pdf)
