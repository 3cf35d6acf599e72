# C++ code that protoc generates from the definition file, for the benchmarks
# and the wire format test only: the libraries read the file at run time and
# never use it. It shows that our bytes are protobuf's encoding of the schema
# and gives the benchmarks a like-for-like baseline.
#
# ds_generated_records() defines the object library ds_generated_records once;
# its messages live in the C++ namespace `generated`.
function(ds_generated_records)
  if(TARGET ds_generated_records)
    return()
  endif()
  find_package(Protobuf REQUIRED)
  set(dir ${PROJECT_BINARY_DIR}/generated_records)
  set(definition ${PROJECT_SOURCE_DIR}/codec/ConfigSerializationDef.txt)
  set(script ${PROJECT_SOURCE_DIR}/cmake/ProtoFromDefinition.cmake)
  set(proto ${dir}/ds_records.proto)
  add_custom_command(
    OUTPUT ${dir}/ds_records.pb.cc ${dir}/ds_records.pb.h
    COMMAND ${CMAKE_COMMAND} -DIN=${definition} -DOUT=${proto} -P ${script}
    COMMAND protobuf::protoc --cpp_out=${dir} -I ${dir} ${proto}
    DEPENDS ${definition} ${script}
    COMMENT "Generating protobuf C++ code from ConfigSerializationDef.txt"
    VERBATIM)
  # Objects, not an archive: nothing names the generated classes, and their
  # descriptors register themselves only when linked in.
  add_library(ds_generated_records OBJECT ${dir}/ds_records.pb.cc)
  target_include_directories(ds_generated_records SYSTEM PUBLIC ${dir})
  target_link_libraries(ds_generated_records PUBLIC protobuf::libprotobuf)
  target_compile_options(ds_generated_records PRIVATE -w)
endfunction()
