import contextlib
import copyreg
import importlib.util
import pathlib
import sys

from hypothesis import HealthCheck, settings

# Reproducible runs, and nothing written into the checkout.
settings.register_profile("velmar", database=None, derandomize=True, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("velmar")


@contextlib.contextmanager
def script(path):
    """A script of the checkout (examples/..., bench/...) as a module. Importing dask installs
    tblib's reducers for every exception class that exists by then, velmar's included; they
    are undone afterwards so that the other test modules pickle exceptions plainly."""
    saved = dict(copyreg.dispatch_table)
    name = pathlib.Path(path).stem + "_script"
    try:
        spec = importlib.util.spec_from_file_location(name, pathlib.Path(__file__).resolve().parents[2] / path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # dataclasses look their module up
        spec.loader.exec_module(module)
        yield module
    finally:
        sys.modules.pop(name, None)
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(saved)
