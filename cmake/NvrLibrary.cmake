# nvr_host_library(target): what every installed shared library of the
# project has in common.
# - Hidden symbols: only what the headers mark (NVR_BACKUP_EXPORT,
#   RECORDLIB_EXPORT, TECHNIC_EXPORT) is exported, so the third-party code
#   inside (nlohmann json, spdlog) and the internals stay private;
#   nvr-local.map keeps the standard library's and the third-party template
#   instantiations local as well.
# - A versioned SONAME from the project version (lib<name>.so.<major>).
# - RUNPATH $ORIGIN once installed: the libraries are installed side by side
#   and find one another there, wherever the prefix is.
# - C++17 for everything that links it (the headers need it).
function(nvr_host_library target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    INSTALL_RPATH "$ORIGIN")
  target_compile_features(${target} PUBLIC cxx_std_17)
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${PROJECT_SOURCE_DIR}/cmake/nvr-local.map")
  set_property(TARGET ${target} APPEND PROPERTY
    LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/nvr-local.map)
endfunction()
