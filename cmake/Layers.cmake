# Keeps the layers honest, when the build is configured, so that a link or an include that
# crosses a layer the wrong way fails at once, naming the library or the file:
#
# - every folder of src/ is a layer, and a library may link only libraries of the layers
#   below its own in QIT_LAYERS (from the bottom up);
# - every library may include only its own headers and those of the libraries it links
#   directly.
#
# A header belongs to the library that compiles the source of the same name beside it; a
# header without a source belongs to the first library defined in its folder.

set(QIT_LAYERS
    common        # small shared pieces: date-time, errors, text, files, metrics
    logging       # the file logger
    contract      # the records of Enviar, serialization bases, registry, invocation
    queue         # the send queue, in memory and journaled
    data          # connections, pool, statement catalogue
    description   # the interface definition and the WSDL and pages made of it
    transport     # HTTP listener, routing, pages, metrics endpoint
    soap          # SOAP message and XML serializer
    service       # the Enviar operation
    workers       # insert and processing workers
    host)         # program, data module, configuration

# The layer of a library: its folder under src/.
function(_qit_layer_of library out)
  get_target_property(dir ${library} SOURCE_DIR)
  file(RELATIVE_PATH folder "${PROJECT_SOURCE_DIR}/src" "${dir}")
  string(REGEX REPLACE "/.*" "" folder "${folder}")
  list(FIND QIT_LAYERS "${folder}" layer)
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

# The qit_ libraries defined in `dir` and its subfolders, in order of definition.
function(_qit_libraries_in dir out)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  set(found "")
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(source_dir ${target} SOURCE_DIR)
    if(target MATCHES "^qit_" AND type STREQUAL "STATIC_LIBRARY" AND source_dir MATCHES "^${PROJECT_SOURCE_DIR}/src")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    _qit_libraries_in("${subdir}" sub)
    list(APPEND found ${sub})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

function(qit_check_layers)
  _qit_libraries_in("${PROJECT_SOURCE_DIR}" libraries)
  set(src "${PROJECT_SOURCE_DIR}/src")

  # Owner of every header, and the files (sources and owned headers) of every library.
  foreach(library ${libraries})
    get_target_property(dir ${library} SOURCE_DIR)
    get_target_property(sources ${library} SOURCES)
    set(files_${library} "")
    foreach(source ${sources})
      if(NOT IS_ABSOLUTE "${source}")
        set(source "${dir}/${source}")
      endif()
      if(source MATCHES "\\.cpp$" AND source MATCHES "^${src}/")
        list(APPEND files_${library} "${source}")
        string(REGEX REPLACE "\\.cpp$" ".h" header "${source}")
        if(EXISTS "${header}")
          file(RELATIVE_PATH name "${src}" "${header}")
          set(owner_${name} ${library})
          list(APPEND files_${library} "${header}")
        endif()
      endif()
    endforeach()
  endforeach()
  foreach(library ${libraries})
    get_target_property(dir ${library} SOURCE_DIR)
    file(GLOB headers "${dir}/*.h")
    foreach(header ${headers})
      file(RELATIVE_PATH name "${src}" "${header}")
      if(NOT DEFINED owner_${name})
        set(owner_${name} ${library})
        list(APPEND files_${library} "${header}")
      endif()
    endforeach()
  endforeach()

  # Links only go down the layers.
  set(errors "")
  foreach(library ${libraries})
    _qit_layer_of(${library} layer)
    if(layer EQUAL -1)
      string(APPEND errors "  ${library}: its folder is not in QIT_LAYERS (cmake/Layers.cmake)\n")
      continue()
    endif()
    get_target_property(links ${library} LINK_LIBRARIES)
    foreach(link ${links})
      if(link IN_LIST libraries AND NOT link STREQUAL library)
        _qit_layer_of(${link} link_layer)
        if(NOT link_layer LESS layer)
          list(GET QIT_LAYERS ${layer} name)
          list(GET QIT_LAYERS ${link_layer} link_name)
          string(APPEND errors "  ${library} (${name}) links ${link} (${link_name}), which is not below it\n")
        endif()
      endif()
    endforeach()
  endforeach()
  if(errors)
    message(FATAL_ERROR "Links across layers the wrong way:\n${errors}")
  endif()

  foreach(library ${libraries})
    get_target_property(links ${library} LINK_LIBRARIES)
    foreach(file ${files_${library}})
      file(STRINGS "${file}" includes REGEX "^#include \"[^\"]+\"")
      foreach(line ${includes})
        string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" name "${line}")
        if(DEFINED owner_${name})
          set(owner ${owner_${name}})
          if(NOT owner STREQUAL library AND NOT owner IN_LIST links)
            file(RELATIVE_PATH shown "${PROJECT_SOURCE_DIR}" "${file}")
            string(APPEND errors "  ${shown} includes ${name} of ${owner}, which ${library} does not link\n")
          endif()
        endif()
      endforeach()
    endforeach()
  endforeach()
  if(errors)
    message(FATAL_ERROR "Includes across layers without a link:\n${errors}")
  endif()
endfunction()
