import _quorl


def test_module_imports():
    assert _quorl.__name__ == "_quorl"
