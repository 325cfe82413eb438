# What a host's developer reads, beside the programs: the README and the protocol's schemas.
set(ZEPHRIN_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/zephrin)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/protocol/events.schema.json
  ${PROJECT_SOURCE_DIR}/protocol/commands.schema.json
  ${PROJECT_SOURCE_DIR}/protocol/act-replies.schema.json
  DESTINATION ${ZEPHRIN_DOC_DIR})

# The Debian package (scripts/package): programs in /usr/libexec/zephrin, the image module beside
# them, its dependencies read off the shared libraries by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zephrin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop helpers that give an assistant eyes and hands")
set(CPACK_PACKAGE_DESCRIPTION "watch reports what the person does on the desktop as JSON lines;\
 act drives input into one application, refusing when anything else is in the way. Both are\
 started by a host application, from /usr/libexec/zephrin.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Zephrin developers <zephrin@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Data, not a library: the English text recognition loads it at run time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tesseract-ocr-eng")
include(CPack)
