"""atheris entry point for the pickle rebuild: python fuzz/fuzz_pickle.py CORPUS -max_total_time=N"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports():
    import pickle_target


def main():
    atheris.Setup(sys.argv, pickle_target.check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
