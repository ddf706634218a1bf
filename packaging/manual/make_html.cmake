# Turns the Markdown manual into one HTML page: cmark renders the body, the
# template gives it a head, a title and a style.
# Arguments: CMARK, SOURCE, TEMPLATE, OUTPUT, VERSION.
execute_process(
  COMMAND ${CMARK} --to html ${SOURCE}
  OUTPUT_VARIABLE MANUAL_BODY
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmark failed on ${SOURCE}")
endif()
# Headings get ids, so the sections can be linked to.
string(REGEX MATCHALL "<h[23]>[^<]+</h[23]>" headings "${MANUAL_BODY}")
foreach(heading ${headings})
  string(REGEX REPLACE "<h([23])>([^<]+)</h[23]>" "\\1" level "${heading}")
  string(REGEX REPLACE "<h[23]>([^<]+)</h[23]>" "\\1" text "${heading}")
  string(TOLOWER "${text}" anchor)
  string(REGEX REPLACE "[^a-z0-9]+" "-" anchor "${anchor}")
  string(REGEX REPLACE "^-|-$" "" anchor "${anchor}")
  string(REPLACE "${heading}" "<h${level} id=\"${anchor}\">${text}</h${level}>" MANUAL_BODY
                 "${MANUAL_BODY}")
endforeach()
set(MANUAL_VERSION ${VERSION})
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
