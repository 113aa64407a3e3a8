# The project's version, kept in one place: the file VERSION at the repository's root. Both
# trees and the packer read it here; a change of it configures them again.
get_filename_component(veldra_version_file "${CMAKE_CURRENT_LIST_DIR}/../VERSION" ABSOLUTE)
file(STRINGS "${veldra_version_file}" VELDRA_VERSION LIMIT_COUNT 1)
if(NOT VELDRA_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "${veldra_version_file} must hold one version X.Y.Z, not '${VELDRA_VERSION}'")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${veldra_version_file}")
