include_guard(GLOBAL)

# The image check reads the image with ce-image, a program of the machine
# that builds. A host build builds it as a target of its own (ce-image/); a
# build for the device or desktop Windows, whose compiler makes no program
# that runs here, either takes one made already (FWUPGRADE_HOST_CE_IMAGE, as
# the host's tests hand their cross trees) or builds ce-image/ alone with
# this machine's compiler, in host-tools/ of its build folder, as
# cross-compiling projects build their host tools.
set(FWUPGRADE_HOST_CE_IMAGE "" CACHE FILEPATH
    "A ce-image built for this machine, for the image check of a cross build; empty: it builds one in host-tools/")

# fwupgrade_ce_image(<program> <target>): the ce-image that the image check
# runs, and the target that makes it ("" when none does).
function(fwupgrade_ce_image program target)
  if(TARGET ce-image)
    # Known at configure time: the staging script is written then.
    get_target_property(folder ce-image RUNTIME_OUTPUT_DIRECTORY)
    set(${program} "${folder}/ce-image" PARENT_SCOPE)
    set(${target} ce-image PARENT_SCOPE)
    return()
  elseif(NOT FWUPGRADE_HOST_CE_IMAGE STREQUAL "")
    set(${program} "${FWUPGRADE_HOST_CE_IMAGE}" PARENT_SCOPE)
    set(${target} "" PARENT_SCOPE)
    return()
  endif()
  set(folder "${CMAKE_BINARY_DIR}/host-tools")
  if(NOT TARGET fwupgrade_host_ce_image)
    # The machine's own compiler: none of the cross build's settings.
    execute_process(
      COMMAND "${CMAKE_COMMAND}" -E env --unset=CC --unset=CXX --unset=CXXFLAGS --unset=LDFLAGS
              "${CMAKE_COMMAND}" -S "${PROJECT_SOURCE_DIR}/ce-image" -B "${folder}" -DCMAKE_BUILD_TYPE=Release
      RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "The image check needs ce-image built for this machine, and configuring its build in "
                          "${folder} failed (${status}):\n${said}")
    endif()
    add_custom_target(fwupgrade_host_ce_image
      COMMAND "${CMAKE_COMMAND}" --build "${folder}" --target ce-image
      COMMENT "Building ce-image for this machine, in host-tools/"
      VERBATIM)
  endif()
  set(${program} "${folder}/ce-image" PARENT_SCOPE)
  set(${target} fwupgrade_host_ce_image PARENT_SCOPE)
endfunction()
