# Run by cpack on what was installed for the package, before it is packed:
# Debian wants the manual page and the changelog compressed, without a
# time stamp that would make two packages of one source differ.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share")
foreach(file man/man1/vorpa.1 doc/vorpa/changelog)
  execute_process(COMMAND gzip -9nf "${root}/${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot compress ${root}/${file}")
  endif()
endforeach()
