# Runs a libFuzzer target on a fresh copy of its seed corpus and prints its statistics.
# -DFUZZER=<executable> -DSEEDS=<folder> -DDICT=<file> -DWORK=<folder> -DSECONDS=<n>
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/corpus" "${WORK}/artifacts")
file(COPY "${SEEDS}/" DESTINATION "${WORK}/corpus")
execute_process(
  COMMAND "${FUZZER}" "${WORK}/corpus" -max_total_time=${SECONDS} -print_final_stats=1 "-dict=${DICT}"
          "-artifact_prefix=${WORK}/artifacts/"
  RESULT_VARIABLE result
  ERROR_VARIABLE log)
string(REGEX MATCHALL "(stat::[^\n]*|Done [^\n]*)" stats "${log}")
string(REPLACE ";" "\n" stats "${stats}")
message("${stats}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "fuzzer failed (${result}):\n${log}")
endif()
