# Tracker parameters, the tracker's rounding rule and the resonator bank.
kadenzo_test(test_params SOURCES test_params.cpp LIBS metertracker LABELS models)
kadenzo_test(test_resonators SOURCES test_resonators.cpp LIBS metertracker LABELS models
             ORACLE oracles/resonators.py)
# The tracker's side-by-side banks against one Resonators bank per channel.
kadenzo_test(test_resonator_banks SOURCES test_resonator_banks.cpp LIBS metertracker LABELS models)
