cmake_minimum_required(VERSION 3.25)
# Fails when a source includes a header of a layer above its own. Run as
#   cmake -DROOT=<source tree> -P tests/include_layers.cmake
# Each layer is a folder; a file belongs to the longest folder that holds it and may include the
# headers of the layers listed for it (its own among them). Includes without a folder (generated
# files beside the source) and system headers (<...>) are not judged.

set(layers base ffreader ffsession codecs uxtheme platform platform/gdi core gui formats kit player app)
set(allowed_base base)
set(allowed_ffreader base ffreader)
set(allowed_ffsession base ffreader ffsession)
# The codec libraries: loaded by name at run time, they stand on the shared reader alone.
set(allowed_codecs base ffreader ffsession codecs)
set(allowed_uxtheme base uxtheme)
# The operating-system stand-ins; Video for Windows decodes through the shared reader.
set(allowed_platform base ffreader platform)
set(allowed_platform/gdi base platform platform/gdi)
# The core services and the media model: no window toolkit (platform/gdi) here.
set(allowed_core base platform core)
set(allowed_gui base platform platform/gdi core gui)
# The format layer binds the codec libraries through their contract headers.
set(allowed_formats base platform core codecs formats)
set(allowed_kit base platform platform/gdi core gui formats uxtheme kit)
set(allowed_player base platform platform/gdi core gui formats kit player)
set(allowed_app base platform platform/gdi core gui formats kit player app)

if(NOT ROOT)
  message(FATAL_ERROR "ROOT (the source tree) is not set")
endif()

# The layer of a path relative to ROOT (or of an include's path): the longest layer folder
# holding it; empty for none.
function(layer_of path out)
  set(best "")
  foreach(l IN LISTS layers)
    string(LENGTH "${l}" n)
    string(LENGTH "${best}" bn)
    string(FIND "${path}" "${l}/" at)
    if(at EQUAL 0 AND n GREATER bn)
      set(best "${l}")
    endif()
  endforeach()
  set(${out} "${best}" PARENT_SCOPE)
endfunction()

set(faults 0)
set(files 0)
foreach(top base ffreader ffsession codecs uxtheme platform core gui formats kit player app)
  file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/${top}/*.h ${ROOT}/${top}/*.cpp ${ROOT}/${top}/*.c)
  foreach(source IN LISTS sources)
    math(EXPR files "${files} + 1")
    layer_of("${source}" own)
    file(STRINGS ${ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]*/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*$" "\\1" header "${line}")
      layer_of("${header}" theirs)
      if(theirs STREQUAL "")
        message(SEND_ERROR "${source}: \"${header}\" belongs to no layer")
        math(EXPR faults "${faults} + 1")
      elseif(NOT theirs IN_LIST allowed_${own})
        message(SEND_ERROR "${source}: the ${own} layer may not include \"${header}\" (${theirs})")
        math(EXPR faults "${faults} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()
if(files EQUAL 0)
  message(FATAL_ERROR "no sources found under ${ROOT}")
endif()
if(faults GREATER 0)
  message(FATAL_ERROR "${faults} include(s) run against the layer order")
endif()
message(STATUS "${files} sources keep to the layer order")
