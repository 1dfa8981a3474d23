# The Debian package: `cpack -G DEB` in the build folder. Configure with
# -DCMAKE_INSTALL_PREFIX=/usr so that the library folder is Debian's.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvakel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Norvakel developers")
set(CPACK_PACKAGE_CONTACT "Norvakel developers <developers@norvakel.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loader for database transfer files from remote hosts")
set(CPACK_PACKAGE_DESCRIPTION
    "Norvakel turns a transfer file, the export of a query result that a remote\n"
    "database host offers for download, into local results. It loads the rows\n"
    "into a scratch database and runs the short command script at the end of\n"
    "the file: it exports the data into dBASE, FoxPro, Paradox or Excel files, a\n"
    "database or a text file, prints a report, shows the rows in a read-only\n"
    "grid, or starts a program or opens a document.\n"
    "\n"
    "Web browsers hand downloaded transfer files (MIME type\n"
    "application/x-norvakel-transfer, extension .nvk) to Norvakel.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://norvakel.example.org/")
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies come from dpkg-shlibdeps; OPEN hands documents to xdg-open.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Reports draw with these: Liberation for the fonts reports name most (Arial,
# Times New Roman, Courier New and Java's logical fonts, metric for metric),
# DejaVu for the rest.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Only what the install rules name goes into the package (no test programs).
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
include(CPack)
