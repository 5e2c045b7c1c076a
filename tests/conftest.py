import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import pytest

import tamareltools.tamarels as tamarels


@pytest.fixture
def module():
    return tamarels
