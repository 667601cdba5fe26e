# `cpack --config <build>/CPackConfig.cmake` makes tarnwick_<version>_<arch>.deb
# of what TarnwickInstall.cmake installs, under /usr. Its dependencies are the
# shared libraries dpkg-shlibdeps finds, plus the English model the
# recognizer loads at run time.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_CONTACT "tarnwick maintainers <tarnwick@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "one image in, one JSON line of recognized text out")
set(CPACK_PACKAGE_DESCRIPTION "tarnwick reads one image, runs Tesseract's LSTM engine with the English model
over it and prints exactly one line of JSON: the recognized lines, their text and
notes on weak recognition, or an error record. A shared library and C++ header
give programs the same record without starting a process.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS tesseract-ocr-eng)
set(CPACK_STRIP_FILES ON)
include(CPack)
