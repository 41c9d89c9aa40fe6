# What both Windows platforms, the device and the desktop, compile resources
# with. gcc reads a response file with quoting rules of its own, which CMake
# does not write for: a folder with a quote in its name would not be found.
enable_language(RC)
foreach(list IN ITEMS INCLUDES OBJECTS LIBRARIES)
  set(CMAKE_CXX_USE_RESPONSE_FILE_FOR_${list} 0)
endforeach()
