# The manifest's last line, "tool-sha256: <hex>": the SHA-256 of the
# executable beside it, written after each link of a build of the tool (by
# the generated <target>-resources/tool-hash.cmake), so that whoever holds
# the two files can check one against the other.
include_guard(GLOBAL)
include("${CMAKE_CURRENT_LIST_DIR}/image_settings.cmake")

# fwupgrade_write_manifest(<manifest> <text> <tool>): the manifest made before
# the link, <text>. Its executable's line stays only while the rest is <text>
# and it still names <tool> as it is: a build that then fails leaves no line
# that vouches for an executable of other texts or another image.
function(fwupgrade_write_manifest manifest text tool)
  if(EXISTS "${manifest}" AND EXISTS "${tool}")
    file(SHA256 "${tool}" sha256)
    file(READ "${manifest}" old)
    if(old STREQUAL "${text}tool-sha256: ${sha256}\n")
      return()
    endif()
  endif()
  fwupgrade_write_if_changed("${manifest}" "${text}")
endfunction()

# fwupgrade_name_tool_in_manifest(<manifest> <tool>): after the link. A build
# without an image has no manifest, and gets none.
function(fwupgrade_name_tool_in_manifest manifest tool)
  if(NOT EXISTS "${manifest}")
    return()
  endif()
  file(SHA256 "${tool}" sha256)
  file(READ "${manifest}" text)
  string(REGEX REPLACE "\ntool-sha256: [0-9a-f]*\n$" "\n" text "${text}")
  fwupgrade_write_if_changed("${manifest}" "${text}tool-sha256: ${sha256}\n")
endfunction()
