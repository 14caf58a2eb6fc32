# Link settings that depend on the target system.
if(WIN32)
  # A console program with no DLLs beside it, and a stack deep enough for the
  # matcher's recursion over the longest paths the system accepts. The entry
  # point is wmain, which receives the command line as the system holds it.
  target_compile_options(tarn PRIVATE -municode)
  target_link_options(tarn PRIVATE -static -municode -Wl,--stack,268435456)

  # The manifest (long paths, the supported systems, no elevation) and the
  # version resource, numbered from the project's version.
  enable_language(RC)
  configure_file(${PROJECT_SOURCE_DIR}/src/platform/windows/tarn.rc.in ${CMAKE_CURRENT_BINARY_DIR}/tarn.rc @ONLY)
  target_sources(tarn PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/tarn.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/tarn.rc APPEND PROPERTY OBJECT_DEPENDS
               ${PROJECT_SOURCE_DIR}/src/platform/windows/tarn.exe.manifest)
endif()
