# Runs at install time, after the variables VANTRELL_UNIT_TEMPLATES, VANTRELL_UNIT_STAGING,
# VANTRELL_BINDIR and VANTRELL_DOCDIR have been set by packaging/CMakeLists.txt.
foreach(dir BINDIR DOCDIR)
    if(IS_ABSOLUTE "${VANTRELL_${dir}}")
        set(VANTRELL_FULL_${dir} "${VANTRELL_${dir}}")
    else()
        set(VANTRELL_FULL_${dir} "${CMAKE_INSTALL_PREFIX}/${VANTRELL_${dir}}")
    endif()
endforeach()
set(VANTRELL_PROGRAM "${VANTRELL_FULL_BINDIR}/vantrell")
set(VANTRELL_README "${VANTRELL_FULL_DOCDIR}/README.md")

foreach(unit vantrell.service vantrell-watch.service)
    configure_file("${VANTRELL_UNIT_TEMPLATES}/${unit}.in" "${VANTRELL_UNIT_STAGING}/${unit}" @ONLY)
    # file(INSTALL) honours DESTDIR and records the file in install_manifest.txt.
    file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
         FILES "${VANTRELL_UNIT_STAGING}/${unit}")
endforeach()
