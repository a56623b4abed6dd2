# Simulated agents for the web console benchmark (bench/web_console.sh).
if(NOT WIN32 AND TARGET vl_echo)
  add_executable(vl_sim_agents ${CMAKE_CURRENT_LIST_DIR}/sim_agents.cpp)
  target_link_libraries(vl_sim_agents PRIVATE vl_echo vl_net vl_log vl_thirdparty)
endif()
