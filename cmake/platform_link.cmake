# Link settings that depend on the target system.
if(WIN32)
  # A console program with no DLLs beside it, and a stack deep enough for the
  # matcher's recursion over the longest paths the system accepts.
  target_link_options(tarn PRIVATE -static -Wl,--stack,268435456)
endif()
