# Compresses a file the way Debian packages ship manual pages and changelogs:
# gzip at the highest level, with no name and no time in the header, so the
# result depends on the text alone. CMake's own archive support does it; no
# external program runs.
#   cmake -DINPUT=kavrelt.1 -DOUTPUT=kavrelt.1.gz -P gzip-for-debian.cmake
# CMake leaves the time out of the gzip header when SOURCE_DATE_EPOCH is set.
set(ENV{SOURCE_DATE_EPOCH} 0)
file(ARCHIVE_CREATE OUTPUT ${OUTPUT} PATHS ${INPUT} FORMAT raw COMPRESSION GZip COMPRESSION_LEVEL 9)
