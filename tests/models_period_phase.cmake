# Period and phase models of the meter tracker: their free functions and the
# period and phase stages of the analysis step.
kadenzo_test(test_period_functions SOURCES test_period_functions.cpp LIBS metertracker
             LABELS models ORACLE oracles/period_phase.py)
kadenzo_test(test_period_stage SOURCES test_period_stage.cpp LIBS metertracker LABELS models
             ORACLE oracles/period_phase.py)
kadenzo_test(test_phase_model SOURCES test_phase_model.cpp LIBS metertracker LABELS models
             ORACLE oracles/period_phase.py)
