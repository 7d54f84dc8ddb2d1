# Debian packages, made with cpack (cpack --preset NAME, or packaging/build.sh for all of them):
#   pushfile          what runs on remote hosts: the sender, pushfile, and pullfile, which receives
#                     files chosen on the user's side; statically linked, for copying onto or
#                     installing on remote hosts; one per target architecture (amd64, arm64, armhf,
#                     riscv64), with their man pages and shell completions
#   pushfile-receive  the receiver with its man page and shell completions; also one per target
#                     architecture, statically linked like the sender (with PUSHFILE_STATIC off,
#                     from native builds only: its dependencies are then read from the installed
#                     libraries by dpkg-shlibdeps)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pushfile)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "pushfile maintainers <maintainers@users.noreply.c-seed-372b3b04.example>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(DEFINED PUSHFILE_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${PUSHFILE_DEB_ARCHITECTURE})
endif()
if(CMAKE_CROSSCOMPILING AND NOT PUSHFILE_STATIC)
  set(CPACK_COMPONENTS_ALL sender)
else()
  set(CPACK_COMPONENTS_ALL sender receiver)
endif()

set(CPACK_DEBIAN_SENDER_PACKAGE_NAME pushfile)
set(CPACK_DEBIAN_SENDER_DESCRIPTION "send and receive files through the terminal they run in
pushfile runs inside a terminal, typically on a remote host reached over ssh,
and sends files through the terminal's own byte stream as escape messages,
each block checked and acknowledged. No second connection is needed: the
terminal, or pushfile-receive on the local machine, saves them.

pullfile goes the other way: it asks the terminal for files, the user
chooses them at a prompt of pushfile-receive on the local machine, and
pullfile saves them in the current folder.

This package holds the two programs that run on remote hosts, statically
linked, so that the same binaries can also be copied onto hosts that lack
any library.")

set(CPACK_DEBIAN_RECEIVER_PACKAGE_NAME pushfile-receive)
# A static binary has no shared libraries whose packages it would depend on.
if(NOT PUSHFILE_STATIC)
  set(CPACK_DEBIAN_RECEIVER_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_RECEIVER_PACKAGE_SUGGESTS pushfile)
set(CPACK_DEBIAN_RECEIVER_DESCRIPTION "save files pushfile sends through a terminal, send files to pullfile
pushfile-receive runs a command (a shell, ssh to a host, a serial console)
on a new pseudo-terminal, relays everything unchanged, and saves the files
that pushfile sends from inside that session into a chosen folder, never
overwriting anything and keeping names clean. When pullfile asks for files
from inside the session, it shows a prompt for choosing the local files to
send.")
if(PUSHFILE_STATIC)
  string(APPEND CPACK_DEBIAN_RECEIVER_DESCRIPTION "

The receiver is statically linked, so that the same binary can also be
copied onto hosts that lack any library, such as a jump host.")
endif()

include(CPack)
