# Installs the build into a fresh prefix and checks that a desktop finds Tavolex there: the
# programs in bin/, the interface in share/tavolex/Web, the menu entry that takes
# "ostrevan.tavolex:" links, and the icon it names.
#   cmake -DBUILD_DIR=... -DPREFIX=... -P install_check.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

foreach(program bin/tavolex bin/tavolexctl)
  if(NOT EXISTS ${PREFIX}/${program} OR IS_DIRECTORY ${PREFIX}/${program})
    message(FATAL_ERROR "missing ${program}")
  endif()
endforeach()
if(NOT EXISTS ${PREFIX}/share/tavolex/Web/index.html)
  message(FATAL_ERROR "missing share/tavolex/Web/index.html")
endif()
if(NOT EXISTS ${PREFIX}/share/icons/hicolor/scalable/apps/tavolex.svg)
  message(FATAL_ERROR "missing the icon")
endif()

set(entry ${PREFIX}/share/applications/tavolex.desktop)
if(NOT EXISTS ${entry})
  message(FATAL_ERROR "missing ${entry}")
endif()
file(STRINGS ${entry} lines)
foreach(expected "[Desktop Entry]" "Type=Application" "Name=Tavolex" "Exec=tavolex %u"
                 "Icon=tavolex" "Categories=Office;" "MimeType=x-scheme-handler/ostrevan.tavolex;")
  list(FIND lines "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${entry} lacks the line \"${expected}\"")
  endif()
endforeach()
file(REMOVE_RECURSE ${PREFIX})
