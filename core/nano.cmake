# The NANO message layer: records, field accessors and nanopb callbacks.
# Included by core/CMakeLists.txt before almavel_core is defined; it adds
# CORE_NANO_SOURCES and CORE_NANO_LIBS to the library and defines the test.

find_package(nanopb CONFIG REQUIRED)

file(GLOB CORE_NANO_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/src/nano/*.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/nano/*.c)
set(CORE_NANO_LIBS nanopb::protobuf-nanopb-static)

# core_nano_generate(<out-var> <proto>...): C sources and headers generated
# by nanopb for each .proto into the build tree; <out-var> receives the .c
# files, the directory of the headers is ${CMAKE_CURRENT_BINARY_DIR}/nano_gen.
function(core_nano_generate out_var)
  find_program(NANOPB_GENERATOR NAMES nanopb_generator nanopb_generator.py REQUIRED)
  set(gen_dir ${CMAKE_CURRENT_BINARY_DIR}/nano_gen)
  file(MAKE_DIRECTORY ${gen_dir})
  set(sources)
  foreach(proto IN LISTS ARGN)
    get_filename_component(proto_abs ${proto} ABSOLUTE)
    get_filename_component(proto_dir ${proto_abs} DIRECTORY)
    get_filename_component(proto_name ${proto_abs} NAME)
    get_filename_component(stem ${proto_abs} NAME_WE)
    add_custom_command(
      OUTPUT ${gen_dir}/${stem}.pb.c ${gen_dir}/${stem}.pb.h
      COMMAND ${NANOPB_GENERATOR} -q -I ${proto_dir} -D ${gen_dir} ${proto_name}
      WORKING_DIRECTORY ${proto_dir}
      DEPENDS ${proto_abs}
      COMMENT "nanopb: ${proto_name}"
      VERBATIM)
    list(APPEND sources ${gen_dir}/${stem}.pb.c)
  endforeach()
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()

# The messages the NANO tests use; core/CMakeLists.txt builds them into the
# core's test binary (tests/nano_test.cpp is picked up with the other tests).
set(CORE_NANO_TEST_SOURCES)
if(ALMAVEL_TESTS)
  core_nano_generate(CORE_NANO_TEST_SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/proto/nano_test_message.proto)
endif()
