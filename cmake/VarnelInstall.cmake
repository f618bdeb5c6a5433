# Installation of the libraries and their public headers.
#
# Headers install under <includedir>/varnel/ with their source-tree paths, so that consumers write
# #include <varnel/host/scale.h>. The headers include one another by those same paths
# ("control/varnel.h"), so the installed libraries also put <includedir>/varnel on the include
# path. In the build tree, <build>/include/varnel/<dir> is a link to each public source
# directory, which gives in-tree code (examples/) the same <varnel/...> names.
#
# The exported package (packaging/) names the libraries Varnel::<export name>; the build tree
# has the same names as aliases.

set(VARNEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Varnel)

# varnel_install_library(<target> <export name>)
function(varnel_install_library target export_name)
    add_library(Varnel::${export_name} ALIAS ${target})
    set_target_properties(${target} PROPERTIES
        EXPORT_NAME ${export_name}
        POSITION_INDEPENDENT_CODE ON
        VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
        SOVERSION ${PROJECT_VERSION_MAJOR})
    install(TARGETS ${target} EXPORT VarnelTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# varnel_install_headers(<dir> <header>...): <dir> is the headers' folder relative to the
# project's source directory, the headers are relative to the current source directory.
function(varnel_install_headers dir)
    install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/varnel/${dir})
    get_filename_component(parent ${PROJECT_BINARY_DIR}/include/varnel/${dir} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${dir} ${PROJECT_BINARY_DIR}/include/varnel/${dir}
         SYMBOLIC)
endfunction()
