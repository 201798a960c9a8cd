# What `cmake --install` puts where (DESTDIR and CMAKE_INSTALL_PREFIX are honoured
# by the install commands themselves), and the checks of the installed tree, the
# manual pages and the service units. The Debian package is built from debian/
# (scripts/package.sh), which puts the units and examples in Debian's places.
include(GNUInstallDirs)

install(TARGETS tollmar tollmar-passwd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
        COMPONENT server)
install(FILES contrib/man/tollmar.8 contrib/man/tollmar-passwd.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT server)
install(FILES contrib/man/tollmar-auth.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5
        COMPONENT server)

# Examples only: an administrator copies and adapts them, so nothing is put
# into /etc or the unit folders behind their back.
file(GLOB tollmar_fail2ban_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/contrib/fail2ban/*)
install(FILES contrib/systemd/tollmar.service contrib/systemd/tollmar-hardened.service
              contrib/systemd/tollmar.socket contrib/systemd/tollmar-tls.socket
              contrib/systemd/tollmar-inetd.socket contrib/systemd/tollmar-inetd@.service
              contrib/examples/users.example ${tollmar_fail2ban_files}
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT examples)

if(TOLLMAR_TESTS)
  find_program(PYTHON3_FOR_CHECKS NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
  set(tollmar_check_env
      "TOLLMAR_BUILD_DIR=${CMAKE_BINARY_DIR}"
      "TOLLMAR_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
      "TOLLMAR_BIN=$<TARGET_FILE:tollmar>"
      "TOLLMAR_PASSWD=$<TARGET_FILE:tollmar-passwd>")
  foreach(check install man units passwd_tool)
    add_test(NAME ${check}.checks
             COMMAND ${PYTHON3_FOR_CHECKS} -m pytest -q -p no:cacheprovider
                     ${CMAKE_SOURCE_DIR}/tests/operator/test_${check}.py
             WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests/operator)
    set_tests_properties(${check}.checks PROPERTIES LABELS "operator;${check}" TIMEOUT 300
                         ENVIRONMENT "${tollmar_check_env}")
  endforeach()
endif()
