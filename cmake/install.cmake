# Install rules, included from the root CMakeLists.txt once the programs are defined. Paths are
# relative to the project's root (include() keeps the including directory's).

# Installing strips the programs (also without --strip), so that people who install from source
# get the same small binaries as the packages carry. Before every install rule, the receiver's too.
if(PUSHFILE_INSTALL_STRIP)
  install(CODE "if(NOT DEFINED CMAKE_INSTALL_DO_STRIP)\n  set(CMAKE_INSTALL_DO_STRIP 1)\nendif()"
          ALL_COMPONENTS)
endif()

# Two install components, one Debian package each: "sender" (package pushfile: pushfile and
# pullfile, the two programs that run on remote hosts) and "receiver" (pushfile-receive).
install(TARGETS pushfile-receive RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT receiver)
install(TARGETS pushfile pullfile RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sender)

# Stripping keeps the compilers' version notes (.comment); Debian's packages drop them too.
foreach(component_program sender:pushfile sender:pullfile receiver:pushfile-receive)
  string(REPLACE ":" ";" component_program ${component_program})
  list(GET component_program 0 component)
  list(GET component_program 1 program)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()" COMPONENT ${component})
endforeach()

# Man pages carry the version above on their title line, compressed as Debian wants them.
find_program(PUSHFILE_GZIP gzip REQUIRED)
set(generated_docs ${CMAKE_CURRENT_BINARY_DIR}/docs)
foreach(page pushfile pullfile pushfile-receive)
  add_custom_command(
    OUTPUT ${generated_docs}/${page}.1.gz
    COMMAND ${CMAKE_COMMAND} -DSOURCE=${CMAKE_CURRENT_SOURCE_DIR}/docs/${page}.1
            -DOUTPUT=${generated_docs}/${page}.1 -DVERSION=${PROJECT_VERSION} -DGZIP=${PUSHFILE_GZIP}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/man-page.cmake
    DEPENDS docs/${page}.1 cmake/man-page.cmake
    COMMENT "Man page ${page}.1 for version ${PROJECT_VERSION}")
endforeach()
add_custom_target(pushfile_docs ALL DEPENDS ${generated_docs}/pushfile.1.gz ${generated_docs}/pullfile.1.gz
                                           ${generated_docs}/pushfile-receive.1.gz)

# The packages' changelog, read (and compressed) when configuring.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/changelog)
file(STRINGS packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^pushfile \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with '${changelog_top}': give it an entry for ${PROJECT_VERSION}")
endif()
file(MAKE_DIRECTORY ${generated_docs})
execute_process(COMMAND ${PUSHFILE_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${generated_docs}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

install(FILES ${generated_docs}/pushfile.1.gz ${generated_docs}/pullfile.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT sender)
install(FILES ${generated_docs}/pushfile-receive.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT receiver)
foreach(component_package sender:pushfile receiver:pushfile-receive)
  string(REPLACE ":" ";" component_package ${component_package})
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(FILES packaging/copyright ${generated_docs}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
# Debian's zsh looks for packaged functions in vendor-completions, for local ones (/usr/local) in
# site-functions; the prefix is known only when installing (a package installs into .../usr).
install(CODE "set(pushfile_zsh_dir ${CMAKE_INSTALL_DATADIR}/zsh/site-functions)
if(CMAKE_INSTALL_PREFIX MATCHES \"(^|/)usr/?$\")
  set(pushfile_zsh_dir ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
endif()" ALL_COMPONENTS)
foreach(component_program receiver:pushfile-receive sender:pullfile)
  string(REPLACE ":" ";" component_program ${component_program})
  list(GET component_program 0 component)
  list(GET component_program 1 program)
  install(FILES completions/${program}.bash RENAME ${program}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT ${component})
  install(FILES completions/_${program} DESTINATION \${pushfile_zsh_dir} COMPONENT ${component})
endforeach()

# The programs are static on purpose (see PUSHFILE_STATIC); the overrides tell lintian so. Only in
# packages, which install into .../usr.
set(lintian_overrides sender:pushfile)
if(PUSHFILE_STATIC)
  list(APPEND lintian_overrides receiver:pushfile-receive)
endif()
foreach(component_package ${lintian_overrides})
  string(REPLACE ":" ";" component_package ${component_package})
  list(GET component_package 0 component)
  list(GET component_package 1 package)
  install(CODE "if(CMAKE_INSTALL_PREFIX MATCHES \"(^|/)usr/?$\")
  file(INSTALL ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${package}.lintian-overrides RENAME ${package}
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/lintian/overrides\")
endif()" COMPONENT ${component})
endforeach()
