# The identity tests start the core under a parent of another user (the launcher).
add_executable(identity_launcher ${CMAKE_CURRENT_LIST_DIR}/identity_launcher.c)
target_compile_options(identity_launcher PRIVATE ${DVRCORE_WARNINGS})
target_compile_definitions(core_tests PRIVATE IDENTITY_LAUNCHER="$<TARGET_FILE:identity_launcher>")
add_dependencies(core_tests identity_launcher)
