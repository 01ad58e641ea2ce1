import os
import sys

# The package lives beside this folder; no installation needed to test it.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
