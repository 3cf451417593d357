from hypothesis import HealthCheck, settings

# Reproducible runs, and nothing written into the checkout.
settings.register_profile("velmar", database=None, derandomize=True, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("velmar")
