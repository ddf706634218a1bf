# The version of project(VERSION) is the one the Debian changelog, the
# AppStream metainfo's newest release, the HTML manual and `tolvar --version`
# state. Arguments: VERSION, TOLVAR, CHANGELOG, METAINFO, MANUAL.
set(failures "")

file(STRINGS ${CHANGELOG} first_line LIMIT_COUNT 1)
string(REGEX MATCH "^tolvar \\(([^)-]+)" _ "${first_line}")
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  list(APPEND failures "debian/changelog says '${CMAKE_MATCH_1}'")
endif()

file(READ ${METAINFO} metainfo)
string(REGEX MATCH "<release version=\"([^\"]+)\"" _ "${metainfo}")
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  list(APPEND failures "the metainfo's newest release is '${CMAKE_MATCH_1}'")
endif()

file(READ ${MANUAL} manual)
string(FIND "${manual}" "Tolvar ${VERSION}" at)
if(at EQUAL -1)
  list(APPEND failures "the HTML manual does not name version ${VERSION}")
endif()

execute_process(COMMAND ${TOLVAR} --version OUTPUT_VARIABLE printed RESULT_VARIABLE status
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0 OR NOT printed STREQUAL "tolvar ${VERSION}")
  list(APPEND failures "tolvar --version printed '${printed}' (status ${status})")
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Not version ${VERSION}:\n  ${text}")
endif()
