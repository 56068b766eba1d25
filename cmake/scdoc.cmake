# Script mode (cmake -P): turns the scdoc source INPUT into the roff page
# OUTPUT and its compressed copy OUTPUT.gz. SCDOC and GZIP name the tools;
# EPOCH fixes the date at the foot of the page.
foreach(var SCDOC GZIP EPOCH INPUT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "scdoc.cmake needs ${var}")
  endif()
endforeach()

get_filename_component(dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
execute_process(COMMAND ${SCDOC} INPUT_FILE ${INPUT} OUTPUT_VARIABLE roff
                ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "scdoc refused ${INPUT}: ${errors}")
endif()
# The page header macro turns hyphenation and left adjustment back on; a
# page full of flags and identifiers reads better without either.
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n.ad l\n" roff "${roff}")
# A flag in bold is kept on one line: "\%" before it forbids a break at its
# hyphens, so that --provider-release-digest never reads as two words.
string(REPLACE "\\fB-" "\\fB\\%-" roff "${roff}")
file(WRITE ${OUTPUT} "${roff}")
# -n leaves the name and time out of the gzip header: the same page gives
# the same bytes.
execute_process(COMMAND ${GZIP} -9 -n -c ${OUTPUT} OUTPUT_FILE ${OUTPUT}.gz RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip could not compress ${OUTPUT}")
endif()
