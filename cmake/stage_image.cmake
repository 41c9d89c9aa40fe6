# Run by the build before a build of the tool is linked, from the generated
# <target>-resources/stage.cmake, which sets:
#   image    the image file, as given ("" for a build without one)
#   staged   where the build embeds it from
# The image is copied to the staged file only when the two differ, so an
# unchanged image is not embedded again.
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/image_settings.cmake")

if(image STREQUAL "")
  file(REMOVE "${staged}")
  return()
endif()

fwupgrade_image_problem(problem "${image}")
if(NOT problem STREQUAL "")
  file(REMOVE "${staged}")
  message(FATAL_ERROR "The image ${image}: ${problem} (it was checked when the build was configured, and has changed since)")
endif()

if(EXISTS "${staged}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${image}" "${staged}" RESULT_VARIABLE differ)
  if(differ EQUAL 0)
    return()
  endif()
endif()

get_filename_component(stage "${staged}" DIRECTORY)
set(incoming "${stage}/incoming")
file(REMOVE_RECURSE "${incoming}")
file(MAKE_DIRECTORY "${incoming}")
file(COPY_FILE "${image}" "${incoming}/image" RESULT copied)
if(NOT copied EQUAL 0)
  file(REMOVE "${staged}")
  message(FATAL_ERROR "The image ${image} cannot be read: ${copied}")
endif()
# Newer than anything made from the last copy, whatever the image's own time.
file(TOUCH "${incoming}/image")
file(RENAME "${incoming}/image" "${staged}")
file(REMOVE_RECURSE "${incoming}")
