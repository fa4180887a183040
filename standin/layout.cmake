# Lays out a stand-in Tavrin 10 installation below ROOT:
#   cmake -DROOT=<folder> -DTAVRIN=<tavrin executable> -DLIVE=<orvtavrinlive6.so> -P layout.cmake
foreach(var ROOT TAVRIN LIVE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "layout.cmake: ${var} is not set")
  endif()
endforeach()
set(bundle "${ROOT}/Applications/Tavrin10.app/Contents/MacOS")
set(support "${ROOT}/Library/Application Support/Tavrin10")
file(MAKE_DIRECTORY "${bundle}" "${support}")
file(COPY_FILE "${TAVRIN}" "${bundle}/tavrin" ONLY_IF_DIFFERENT)
file(COPY_FILE "${LIVE}" "${bundle}/orvtavrinlive6.so" ONLY_IF_DIFFERENT)
file(CHMOD "${bundle}/tavrin" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
