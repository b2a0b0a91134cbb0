# The package sealpost-receiver: the program, its man page, the server
# guide, and the systemd units that start it on port 80 with socket
# activation. Built for the build's architecture, so that a gateway board
# can receive for its neighbours.
if(NOT SEALPOST_RECEIVER)
    return()
endif()

set(package_receiver sealpost-receiver)
set(guide ${PROJECT_BINARY_DIR}/doc/server.md.gz)
add_custom_command(OUTPUT ${guide}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/docs/server.md > ${guide}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/server.md)
add_custom_target(receiver_guide ALL DEPENDS ${guide})
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${gzipped_docs} ${guide}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package_receiver} COMPONENT receiver)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/${package_receiver}.service
    ${PROJECT_SOURCE_DIR}/packaging/${package_receiver}.socket
    DESTINATION lib/systemd/system COMPONENT receiver)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/receiver.conf DESTINATION /etc/sealpost COMPONENT receiver)

list(APPEND CPACK_COMPONENTS_ALL receiver)
set(CPACK_DEBIAN_RECEIVER_PACKAGE_NAME ${package_receiver})
set(CPACK_DEBIAN_RECEIVER_PACKAGE_SOURCE "sealpost\nMulti-Arch: foreign")
set(CPACK_DEBIAN_RECEIVER_PACKAGE_SECTION net)
# Up to 1.2.0 the receiver was a Python application under gunicorn: an
# upgrade restarts the service on the new program (postinst).
# The configuration is the user's once installed: dpkg keeps their changes.
set(CPACK_DEBIAN_RECEIVER_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/receiver/postinst
    ${PROJECT_SOURCE_DIR}/packaging/receiver/prerm ${PROJECT_SOURCE_DIR}/packaging/receiver/postrm
    ${PROJECT_SOURCE_DIR}/packaging/receiver/conffiles)
set(CPACK_DEBIAN_RECEIVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RECEIVER_DESCRIPTION "open sealed texts posted by sealpost devices
A small HTTP server, started by systemd on port 80, that opens the texts
bfseal sealed and formsend posted and keeps each one before it answers:
in an SQLite database on the host, or in a PostgreSQL database that
receivers on several hosts share. Every well-formed post gets the same
answer, after the same work, whether it opened or not; what does not open
is kept too, to open later with another key.

The service runs as a dynamic user with no capabilities (systemd binds the
port), reads its settings from /etc/sealpost/receiver.conf and the key
from /etc/sealpost/key as a systemd credential, or a key per device from
/etc/sealpost/keys. The guide is in
/usr/share/doc/sealpost-receiver/server.md.gz.")
