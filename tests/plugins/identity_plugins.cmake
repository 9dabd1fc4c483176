# The identity tests' plugin: its worker and reader stay in their calls until Close, and it
# notes which thread ran each call.
dvr_test_plugin_from(identity_threads ${CMAKE_CURRENT_SOURCE_DIR}/../core/identity_plugin.c)
