# The gateway's Python code, generated from its .proto beside the module
# tarnvel_core: the build tree mirrors the installed layout, so the package's
# sources and the built module together import it (python/tarnvel/gateway/v1
# finds it beside tarnvel_core), and the wheel takes it into tarnvel/gateway/v1.
find_package(Python 3.14 REQUIRED COMPONENTS Interpreter)
set(_proto_dir ${PROJECT_SOURCE_DIR}/python)
set(_proto tarnvel/gateway/v1/gateway.proto)
get_target_property(_module_dir tarnvel_core BINARY_DIR)
set(_out_dir ${_module_dir}/tarnvel/gateway/v1)
set(_generated ${_out_dir}/gateway_pb2.py ${_out_dir}/gateway_pb2_grpc.py)

# protoc 3.19 and later write code that current protobuf runtimes import
# without complaint; the protoc inside older grpc_tools releases does not.
# grpc_tools is preferred when it is that recent (it matches the runtime that
# pip installs beside it), then protoc with gRPC's Python plugin, then any
# grpc_tools. Without either, the gateway is left out and says so when asked for.
function(_tarnvel_protoc_is_recent out)
  execute_process(COMMAND ${ARGN} --version OUTPUT_VARIABLE _text ERROR_QUIET RESULT_VARIABLE _failed)
  set(${out} FALSE PARENT_SCOPE)
  if(NOT _failed AND _text MATCHES "libprotoc ([0-9]+)\\.([0-9]+)")
    if(CMAKE_MATCH_1 GREATER 3 OR (CMAKE_MATCH_1 EQUAL 3 AND CMAKE_MATCH_2 GREATER_EQUAL 19))
      set(${out} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

set(_grpc_tools ${Python_EXECUTABLE} -m grpc_tools.protoc)
execute_process(COMMAND ${Python_EXECUTABLE} -c "import grpc_tools.protoc"
                RESULT_VARIABLE _no_grpc_tools OUTPUT_QUIET ERROR_QUIET)
find_program(TARNVEL_PROTOC protoc)
find_program(TARNVEL_GRPC_PYTHON_PLUGIN grpc_python_plugin)
set(_recent_grpc_tools FALSE)
if(NOT _no_grpc_tools)
  _tarnvel_protoc_is_recent(_recent_grpc_tools ${_grpc_tools})
endif()
if(_recent_grpc_tools)
  set(_protoc ${_grpc_tools})
elseif(TARNVEL_PROTOC AND TARNVEL_GRPC_PYTHON_PLUGIN)
  set(_protoc ${TARNVEL_PROTOC} --plugin=protoc-gen-grpc_python=${TARNVEL_GRPC_PYTHON_PLUGIN})
elseif(NOT _no_grpc_tools)
  set(_protoc ${_grpc_tools})
else()
  message(STATUS "tarnvel gateway: neither grpc_tools nor protoc with grpc_python_plugin: its code is not generated")
  return()
endif()
list(JOIN _protoc " " _shown)
message(STATUS "tarnvel gateway: generating its Python code with ${_shown}")

add_custom_command(
  OUTPUT ${_generated}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_out_dir}
  COMMAND ${_protoc} -I${_proto_dir} --python_out=${_module_dir} --grpc_python_out=${_module_dir}
          ${_proto_dir}/${_proto}
  DEPENDS ${_proto_dir}/${_proto}
  COMMENT "Generating the gateway's Python code from ${_proto}"
  VERBATIM)
add_custom_target(tarnvel_gateway_python DEPENDS ${_generated})
# Whatever builds the module (the wheel, the tests, the demo) gets the gateway with it.
add_dependencies(tarnvel_core tarnvel_gateway_python)
install(FILES ${_generated} DESTINATION tarnvel/gateway/v1 COMPONENT tarnvel_python EXCLUDE_FROM_ALL)
