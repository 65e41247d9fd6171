# Read by CPack once per generator: the Windows installer is named for what it is, and the zip
# holds the program folder's contents, so unpacking it into C:\Program Files\ORV gives
# C:\Program Files\ORV\orv.exe, as the guide says.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-setup")
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
