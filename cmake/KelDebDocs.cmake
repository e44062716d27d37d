# CPack pre-build script: a Debian package carries its copyright and
# changelog in /usr/share/doc/<package> and, for the unit, its lintian
# overrides; it leaves /home/root to its postinst (a package keeps out of
# /home). The install tree and the overlay are not touched. Runs after
# CPack staged a component, before it packs it.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
foreach(component ${CPACK_COMPONENTS_ALL})
    set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${component})
    if(NOT IS_DIRECTORY ${stage})
        continue()
    endif()
    set(doc ${stage}/usr/share/doc/${CPACK_PACKAGE_NAME}-${component})
    file(MAKE_DIRECTORY ${doc})
    file(COPY_FILE ${CPACK_KEL_DEB_DIR}/copyright ${doc}/copyright)
    string(TIMESTAMP when "%a, %d %b %Y %H:%M:%S +0000" UTC)
    file(WRITE ${doc}/changelog
         "${CPACK_PACKAGE_NAME}-${component} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
         "  * Display unit software ${CPACK_PACKAGE_VERSION}.\n\n"
         " -- ${CPACK_PACKAGE_CONTACT}  ${when}\n")
    execute_process(COMMAND gzip -9nf ${doc}/changelog RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "cannot compress ${doc}/changelog")
    endif()
    file(CHMOD ${doc}/copyright ${doc}/changelog.gz PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    if(component STREQUAL "unit")
        file(REMOVE_RECURSE ${stage}/home)
        set(overrides ${stage}/usr/share/lintian/overrides)
        file(MAKE_DIRECTORY ${overrides})
        file(COPY_FILE ${CPACK_KEL_DEB_DIR}/lintian-overrides-unit ${overrides}/${CPACK_PACKAGE_NAME}-unit)
        file(CHMOD ${overrides}/${CPACK_PACKAGE_NAME}-unit PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
endforeach()
