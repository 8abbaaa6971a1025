# Writes a manual page from a program's --help: cmake -DPROGRAM=path -DNAME=name
# -DSUMMARY=text -DVERSION=x.y.z -DOUTPUT=page.1 -P manpage.cmake
execute_process(COMMAND ${PROGRAM} --help
    OUTPUT_VARIABLE help ERROR_VARIABLE problem RESULT_VARIABLE result TIMEOUT 60)
if(NOT result EQUAL 0 OR help STREQUAL "")
    message(FATAL_ERROR "${NAME} --help failed (${result}): ${problem}")
endif()
# Qt's help names the program by the path it was started from.
string(REPLACE "${PROGRAM}" "${NAME}" help "${help}")
# The text as it is, in roff: backslashes and minus signs escaped, and no line taken for a
# request.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
string(REPLACE "-" "\\-" name "${NAME}")
if(NOT help MATCHES "\n$")
    string(APPEND help "\n")
endif()
set(see_also "")
foreach(other survokart survokart-cli survokart-sim)
    if(NOT other STREQUAL NAME)
        string(REPLACE "-" "\\-" other "${other}")
        string(APPEND see_also ".BR ${other} (1)\n")
    endif()
endforeach()
file(WRITE ${OUTPUT} ".TH \"${title}\" 1 \"\" \"Survokart ${VERSION}\" \"User Commands\"
.SH NAME
${name} \\- ${SUMMARY}
.SH DESCRIPTION
.nf
${help}.fi
.SH SEE ALSO
${see_also}")
