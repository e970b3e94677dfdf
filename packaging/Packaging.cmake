# The Debian package (scripts/package): the window, the two tools and the
# sandbox service under /usr/bin, a desktop entry and an icon.
include(GNUInstallDirs)
# cpack installs what scripts/package built, not every test and benchmark.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(TARGET cryptohopper_program)
  install(TARGETS cryptohopper_program fetch webserver cryptohopper_sandbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/cryptohopper.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/cryptohopper.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# Debian wants its copyright file and a compressed changelog, without a time
# stamp in the gzip header.
set(PACKAGE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/cryptohopper)
set(PACKAGE_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
execute_process(COMMAND gzip -n -9 -c ${CMAKE_CURRENT_LIST_DIR}/changelog OUTPUT_FILE ${PACKAGE_CHANGELOG})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PACKAGE_CHANGELOG} DESTINATION ${PACKAGE_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cryptohopper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Corvane)
set(CPACK_PACKAGE_CONTACT "Corvane <packages@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client for a trading-bot REST service")
set(CPACK_PACKAGE_DESCRIPTION
    "One window to manage the trading bots, orders and webhooks of a Cryptohopper\n account, with a local HTTPS webhook receiver. Also holds fetch (an HTTP client\n for the command line), webserver (a small HTTPS file server) and\n cryptohopper-sandbox (a stand-in service for trying the window out).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link come from dpkg-shlibdeps. OpenSSL is
# loaded at run time, so nothing finds it there, and Qt needs its platform
# plugins to open a window: both are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3 (>= 3.0.0), libqt6widgets6 (>= 6.4), qt6-qpa-plugins (>= 6.4)")
include(CPack)
