# The package sealpost-receiver (Architecture: all): examples/receiver.py,
# the server guide, and a systemd unit that runs the receiver under gunicorn.
# It holds no machine code, so only a build for the build machine packs it:
# one file serves every architecture, and a cross build makes no second copy.
if(CMAKE_CROSSCOMPILING)
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
install(FILES ${PROJECT_SOURCE_DIR}/examples/receiver.py
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/${package_receiver} COMPONENT receiver)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/${package_receiver}.service
    DESTINATION lib/systemd/system COMPONENT receiver)

list(APPEND CPACK_COMPONENTS_ALL receiver)
set(CPACK_DEBIAN_RECEIVER_PACKAGE_NAME ${package_receiver})
set(CPACK_DEBIAN_RECEIVER_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_RECEIVER_PACKAGE_SOURCE "sealpost\nMulti-Arch: foreign")
set(CPACK_DEBIAN_RECEIVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_RECEIVER_PACKAGE_DEPENDS "python3, python3-pycryptodome, gunicorn")
set(CPACK_DEBIAN_RECEIVER_DESCRIPTION "open sealed texts posted by sealpost devices
A WSGI application, run by gunicorn on port 80 as a systemd service, that
opens the texts bfseal sealed and formsend posted, and appends each one
that opens to a store, one JSON object per line. Every well-formed sealed
text gets the same answer, whether it opened or not.

The service runs as a dynamic user with only the capability to bind port
80, reads the key from /etc/sealpost/key as a systemd credential, and stays
down until that file exists. The guide is in
/usr/share/doc/sealpost-receiver/server.md.gz.")
