# Tracker parameters, the tracker's rounding rule and the resonator bank.
kadenzo_test(test_params SOURCES test_params.cpp LIBS metertracker LABELS models)
kadenzo_test(test_resonators SOURCES test_resonators.cpp LIBS metertracker LABELS models
             ORACLE oracles/resonators.py)
