# Run by cpack after it has made the package: rewrites it without the
# entries of directories that every Debian system has and no package owns
# (base-files makes the /usr/local tree in its postinst).  dpkg removes an
# empty directory it unpacked when the package goes, so a package that
# lists ./usr/local/bin/ would take an empty /usr/local/bin with it.
find_program(TK_AR ar REQUIRED)
find_program(TK_TAR tar REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(work ${CPACK_TOPLEVEL_DIRECTORY}/own-directories)
  file(REMOVE_RECURSE ${work})
  file(MAKE_DIRECTORY ${work})
  execute_process(COMMAND ${TK_AR} x ${deb} WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB control RELATIVE ${work} ${work}/control.tar*)
  # Unpacked and packed again from a list of the entries to keep, in their
  # order, owned by root as cpack made them.
  file(MAKE_DIRECTORY ${work}/data)
  execute_process(COMMAND ${TK_TAR} -xpf ../data.tar.xz WORKING_DIRECTORY ${work}/data COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${TK_TAR} -tf data.tar.xz WORKING_DIRECTORY ${work}
    OUTPUT_VARIABLE entries COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" entries "${entries}")
  foreach(dir IN LISTS CPACK_TK_SHARED_DIRECTORIES)
    list(REMOVE_ITEM entries ".${dir}/")
  endforeach()
  list(JOIN entries "\n" entries)
  file(WRITE ${work}/entries "${entries}\n")
  file(REMOVE ${work}/data.tar.xz)
  execute_process(COMMAND ${TK_TAR} -cJf ../data.tar.xz --no-recursion --owner=root:0 --group=root:0
      -T ../entries
    WORKING_DIRECTORY ${work}/data COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${deb})
  execute_process(COMMAND ${TK_AR} rc ${deb} debian-binary ${control} data.tar.xz
    WORKING_DIRECTORY ${work} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${work})
endforeach()
