import pytest

from support import Recorder


@pytest.fixture
def rec():
    return Recorder()
