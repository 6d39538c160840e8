# The scrub's metrics file: the text for node_exporter and its atomic write.
add_library(quelby_scrub_metrics STATIC ${CMAKE_CURRENT_LIST_DIR}/metrics_file.cpp)
target_link_libraries(quelby_scrub_metrics PUBLIC quelby_engine)
quelby_warnings(quelby_scrub_metrics)
