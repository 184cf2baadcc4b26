# The package changelog for the version of VERSION_FILE, dated
# SOURCE_DATE_EPOCH (or now).
include(${VERSION_FILE})
string(TIMESTAMP DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
