# CPack post-build script: CPack writes debug-symbol packages as .ddeb; Debian
# ships them as <name>-dbgsym_<version>_<arch>.deb, which apt and dpkg take.
file(GLOB ddebs "${CPACK_PACKAGE_DIRECTORY}/*.ddeb")
foreach(ddeb IN LISTS ddebs)
  string(REGEX REPLACE "\\.ddeb$" ".deb" deb "${ddeb}")
  file(RENAME "${ddeb}" "${deb}")
endforeach()
