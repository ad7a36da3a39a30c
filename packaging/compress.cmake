# Compresses one file the way Debian wants its documentation: gzip at the
# highest level, without the name and time stamp, so that equal input gives
# equal bytes.
# cmake -DGZIP=gzip -DINPUT=file -DOUTPUT=file.gz -P compress.cmake
execute_process(COMMAND "${GZIP}" -9n -c "${INPUT}" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE failed)
if(failed)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "${GZIP} could not compress ${INPUT}")
endif()
