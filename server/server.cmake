# The tunnel server (kavlink-server) and the LAN tool (kavlink-lan).
file(GLOB SERVER_CORE_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
list(FILTER SERVER_CORE_SOURCES EXCLUDE REGEX "/(main_[a-z]+\\.cpp|CLanTool\\.(cpp|h))$")

# Session state machine, user table and server; linked by the tests, the fuzz target and the
# benchmark as well as by the binary.
kavlink_library(kavlink_server_core ${SERVER_CORE_SOURCES})
find_library(KAVLINK_CRYPT_LIBRARY crypt REQUIRED) # libcrypt-dev: hashed passwords
find_package(Threads REQUIRED)                    # the log writer's thread
kavlink_link(kavlink_server_core kavlink_relay Qt6::Core Qt6::Network ${KAVLINK_CRYPT_LIBRARY}
             Threads::Threads)

add_executable(kavlink-server main_server.cpp)
target_link_libraries(kavlink-server PRIVATE kavlink_server_core kavlink_warnings)

if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/CLanTool.cpp)
    kavlink_library(kavlink_lan_tool CLanTool.cpp CLanTool.h)
    kavlink_link(kavlink_lan_tool kavlink_server_core orvane)
    add_executable(kavlink-lan main_lan.cpp)
    target_link_libraries(kavlink-lan PRIVATE kavlink_lan_tool kavlink_warnings)
endif()

# The test, fuzz and benchmark folders are read after this one; wire their targets to ours
# once the whole tree is known.
function(kavlink_server_wire_consumers)
    foreach(target TestTunnelServer TestServerLimits TestEndToEnd TestTwoSites fuzz_server_session
                   fuzz_server_session_replay bench_server)
        if(TARGET ${target})
            target_link_libraries(${target} PRIVATE kavlink_server_core)
            add_dependencies(${target} kavlink-server)
            target_compile_definitions(${target} PRIVATE
                KAVLINK_SERVER_BINARY="$<TARGET_FILE:kavlink-server>")
            if(TARGET kavlink-lan)
                add_dependencies(${target} kavlink-lan)
                target_compile_definitions(${target} PRIVATE
                    KAVLINK_LAN_BINARY="$<TARGET_FILE:kavlink-lan>")
            endif()
        endif()
    endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kavlink_server_wire_consumers)
