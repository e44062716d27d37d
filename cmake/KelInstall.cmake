# The unit's files at their board paths, and the packages made of them.
#
# Component `unit`: what goes onto the board's root file system. Component
# `tools`: the workstation programs (package builder, station and meter
# simulators, front panel, screenshot tool), host builds only. Destinations
# are relative to the install prefix, which is / unless given: install
# into a staging folder with --prefix <dir> or DESTDIR=<dir>.
#
# This is the one list of the unit's files: the virtual board lays out its
# sandboxes from the tree these rules install (kelvboard_assets installs
# the unit component into <build>/vboard/unit), and the init scripts it
# runs are the ones installed here.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Install prefix: the root of the unit's file system" FORCE)
endif()

set(KEL_UNIT_PROGRAMS kelcontrol kelstpclient kelupgrade kelindustry keypadsim flashdump)
install(TARGETS ${KEL_UNIT_PROGRAMS} RUNTIME DESTINATION usr/bin COMPONENT unit)
install(TARGETS kelappclient RUNTIME DESTINATION kel/app COMPONENT unit)

# The pictograms the unit shows by itself (drawn by the build, see
# sim/vboard).
install(DIRECTORY ${CMAKE_BINARY_DIR}/picto/ DESTINATION usr/share/picto COMPONENT unit
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        FILES_MATCHING PATTERN "picto_*.bmp")

# Init scripts: one template, one script per program.
function(kel_init_script name program requires runlevels description note)
    set(SVC_NAME ${name})
    set(SVC_PROGRAM ${program})
    set(SVC_REQUIRES ${requires})
    if(runlevels STREQUAL "")
        set(SVC_RUNLEVELS_LINE "# Default-Start:")
    else()
        set(SVC_RUNLEVELS_LINE "# Default-Start:     ${runlevels}")
    endif()
    set(SVC_DESCRIPTION ${description})
    set(SVC_NOTE ${note})
    configure_file(${CMAKE_SOURCE_DIR}/rootfs/etc/init.d/kelservice.in
                   ${CMAKE_BINARY_DIR}/rootfs/etc/init.d/${name} @ONLY)
    install(PROGRAMS ${CMAKE_BINARY_DIR}/rootfs/etc/init.d/${name} DESTINATION etc/init.d COMPONENT unit)
endfunction()
kel_init_script(kelcontrol /usr/bin/kelcontrol "$local_fs" "2 3 4 5"
    "control daemon of the display unit"
    "Started at boot; the startup client also starts it whenever it finds it\n# not running.")
kel_init_script(kelupgrade /usr/bin/kelupgrade "$local_fs kelcontrol" "2 3 4 5"
    "firmware upgrade watcher of the display unit"
    "Started at boot; it confirms the bank the unit booted from and installs\n# the packages uploaded to /usr/ftp/up.")
kel_init_script(kelindustry /usr/bin/kelindustry "$local_fs $network kelcontrol" "2 3 4 5"
    "factory test service of the display unit"
    "It serves the test station on TCP port 1237 and ends by itself after ten\n# minutes without traffic.")
kel_init_script(kelappclient /kel/app/kelappclient "$local_fs $network kelcontrol" ""
    "meter link client of the display unit"
    "Not started at boot: the startup client runs it with start once the meter\n# let the unit in, and with stop when the link drops. DAEMON_ARGS may hold\n# the meter's IPv4 address (without it, 169.254.254.1).")

install(FILES ${CMAKE_SOURCE_DIR}/rootfs/etc/fw_env.config DESTINATION etc COMPONENT unit)

# Folders the programs write into: configuration, factory record, logs,
# log trim staging, upload folder, and the System V IPC key path.
foreach(dir kel/config kel/factory kel/log kel/sys/log usr/ftp/up)
    install(DIRECTORY DESTINATION ${dir} COMPONENT unit)
endforeach()
install(DIRECTORY DESTINATION home/root COMPONENT unit
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# Workstation tools (host builds only; an armhf install is the unit alone).
if(NOT CMAKE_CROSSCOMPILING)
    foreach(tool kelmkupg kelstationsim_cli kelmetersim_cli kelpanel kelshot)
        if(TARGET ${tool})
            install(TARGETS ${tool} RUNTIME DESTINATION usr/bin COMPONENT tools)
        endif()
    endforeach()
    # The Wireshark dissector of the four links, in the folder Wireshark and
    # tshark load Lua plugins from.
    install(FILES tools/wireshark/kelunit.lua
            DESTINATION usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins COMPONENT tools)
endif()

# Packages (cpack in the build folder). From an armhf build: the overlay
# kel-unit-<version>-armhf.tar.gz, unpacked at / of a root file system, and
# kel-unit_<version>_armhf.deb. From a host build (preset release): the
# workstation tools kel-tools_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME kel)
set(CPACK_PACKAGE_VENDOR "Display unit developers")
set(CPACK_PACKAGE_CONTACT "Display unit developers <kel-dev@example.com>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_UNIT_DESCRIPTION
    "display unit software for the unit's root file system\nThe programs of the remote display unit of an industrial meter at the\nboard's paths: control daemon, startup client, meter link client,\nfirmware upgrade watcher, factory test service, bench tools, the\npictograms and the init scripts.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "workstation tools for the display unit software\nUpgrade package builder, factory station and meter simulators, the\nfront panel of a virtual unit and the frame buffer screenshot tool.")
# Copyright and changelog go into the Debian packages only.
set(CPACK_KEL_DEB_DIR ${CMAKE_SOURCE_DIR}/cmake/deb)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/KelDebDocs.cmake)
if(CMAKE_CROSSCOMPILING)
    set(CPACK_GENERATOR "TGZ;DEB")
    set(CPACK_COMPONENTS_ALL unit)
    set(CPACK_ARCHIVE_UNIT_FILE_NAME "kel-unit-${PROJECT_VERSION}-armhf")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    # The C and C++ runtime of the armhf toolchain (dpkg-shlibdeps cannot
    # look at the cross libraries).
    set(CPACK_DEBIAN_UNIT_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.5), libstdc++6 (>= 5.2)")
    file(WRITE ${CMAKE_BINARY_DIR}/deb-unit/conffiles
         "/etc/fw_env.config\n/etc/init.d/kelappclient\n/etc/init.d/kelcontrol\n/etc/init.d/kelindustry\n/etc/init.d/kelupgrade\n")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/deb/postinst-unit ${CMAKE_BINARY_DIR}/deb-unit/postinst
        COPYONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
    set(CPACK_DEBIAN_UNIT_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb-unit/conffiles
        ${CMAKE_BINARY_DIR}/deb-unit/postinst)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_COMPONENTS_ALL tools)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
