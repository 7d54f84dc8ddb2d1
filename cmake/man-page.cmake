# Writes a man page with the project's version on its title line (.TH ... "pushfile X.Y.Z"),
# then compresses it. Arguments: SOURCE, OUTPUT (the page; OUTPUT.gz is made), VERSION, GZIP.
file(READ ${SOURCE} page)
string(REGEX REPLACE "(\\.TH [^\n]*\")pushfile [^\"]*\"" "\\1pushfile ${VERSION}\"" versioned "${page}")
if(versioned STREQUAL page AND NOT page MATCHES "\\.TH [^\n]*\"pushfile ${VERSION}\"")
  message(FATAL_ERROR "${SOURCE}: no \"pushfile VERSION\" on the .TH line to put ${VERSION} in")
endif()
file(WRITE ${OUTPUT} "${versioned}")
# -n leaves out the name and time, so that the same page always compresses to the same bytes.
execute_process(COMMAND ${GZIP} -9nf ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
