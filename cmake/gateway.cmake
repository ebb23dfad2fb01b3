# The gateway's Python code, generated from its .proto beside the module
# tarnvel_core: the build tree mirrors the installed layout, so the package's
# sources and the built module together import it (python/tarnvel/gateway/v1
# finds it on sys.path), and the wheel takes it into tarnvel/gateway/v1.
#
# protoc with gRPC's Python plugin is preferred: the protoc inside older
# grpc_tools releases writes code that newer protobuf runtimes warn about on
# every import. Without either, the gateway is left out and says so when asked for.
find_package(Python 3.14 REQUIRED COMPONENTS Interpreter)
set(_proto_dir ${PROJECT_SOURCE_DIR}/python)
set(_proto tarnvel/gateway/v1/gateway.proto)
get_target_property(_module_dir tarnvel_core BINARY_DIR)
set(_out_dir ${_module_dir}/tarnvel/gateway/v1)
set(_generated ${_out_dir}/gateway_pb2.py ${_out_dir}/gateway_pb2_grpc.py)

find_program(TARNVEL_PROTOC protoc)
find_program(TARNVEL_GRPC_PYTHON_PLUGIN grpc_python_plugin)
if(TARNVEL_PROTOC AND TARNVEL_GRPC_PYTHON_PLUGIN)
  set(_protoc ${TARNVEL_PROTOC} --plugin=protoc-gen-grpc_python=${TARNVEL_GRPC_PYTHON_PLUGIN})
else()
  execute_process(COMMAND ${Python_EXECUTABLE} -c "import grpc_tools.protoc"
                  RESULT_VARIABLE _no_grpc_tools OUTPUT_QUIET ERROR_QUIET)
  if(_no_grpc_tools)
    message(STATUS "tarnvel gateway: no protoc with grpc_python_plugin and no grpc_tools: not generated")
    return()
  endif()
  set(_protoc ${Python_EXECUTABLE} -m grpc_tools.protoc)
endif()

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
