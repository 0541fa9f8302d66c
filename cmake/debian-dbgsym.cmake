# CPack post-build step for the -dbgsym packages CPack makes: their md5sums name the files by
# their path in the build tree, and they have no /usr/share/doc entry. Each gets the link to
# its package's documentation that Debian's debug packages have, md5sums of its own paths, and
# the debug files as plain data (0644).
foreach(ddeb IN LISTS CPACK_PACKAGE_FILES)
    if(NOT ddeb MATCHES "/([^/_]+)-dbgsym_[^/]+\\.ddeb$")
        continue()
    endif()
    set(package ${CMAKE_MATCH_1})
    set(tree ${ddeb}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${ddeb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK ${package} ${tree}/usr/share/doc/${package}-dbgsym SYMBOLIC)
    file(GLOB_RECURSE debug_files RELATIVE ${tree} ${tree}/usr/*)
    set(md5sums "")
    foreach(f IN LISTS debug_files)
        if(IS_SYMLINK ${tree}/${f})
            continue()
        endif()
        file(CHMOD ${tree}/${f} FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        file(MD5 ${tree}/${f} sum)
        string(APPEND md5sums "${sum}  ${f}\n")
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${md5sums}")
    execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${ddeb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
