"""Ctrl-C is never turned into False, also when the client wrapped it."""

from operations_support import *  # noqa: F401,F403 - the shared tables and fixtures


# --- interrupts wrapped by the client ---------------------------------------


def wrapped(interrupt, *, deep=False):
    """An ordinary error raised while `interrupt` was being handled, as
    paramiko does when a signal lands in its socket wait."""
    try:
        try:
            raise interrupt
        except BaseException as inner:
            if deep:
                raise OSError("socket closed") from inner
            raise
    except BaseException as caught:
        try:
            raise Boom("transfer failed") from None
        except Boom as outer:
            outer.__context__ = caught
            return outer


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("deep", [False, True])
def test_an_interrupt_in_the_chain_is_raised_not_false(obj, client, method, remote, deep):
    interrupt = KeyboardInterrupt()
    client.raises[remote] = wrapped(interrupt, deep=deep)
    with pytest.raises(KeyboardInterrupt) as excinfo:
        getattr(obj, method)("src", "dst")
    assert excinfo.value is interrupt


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_a_cyclic_chain_of_ordinary_errors_is_still_false(obj, client, method, remote):
    first, second = Boom("a"), OSError("b")
    first.__context__, second.__context__ = second, first
    client.raises[remote] = first
    assert getattr(obj, method)("src", "dst") is False

@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("handled_type", [KeyboardInterrupt, SystemExit])
def test_a_failure_while_the_caller_handles_an_interrupt_is_still_false(obj, client, method, remote, handled_type):
    client.raises[remote] = Boom("refused")
    try:
        raise handled_type()
    except handled_type as handled:
        assert getattr(obj, method)("src", "dst") is False
        assert sys.exception() is handled
    # An interrupt the client wraps inside such a block still goes up.
    interrupt = KeyboardInterrupt()

    class Wrapping:
        def put(self, *args):
            try:
                raise interrupt
            except KeyboardInterrupt:
                raise Boom("wrapped") from None

        get = put

    obj._sftp = Wrapping()
    try:
        raise handled_type()
    except handled_type:
        with pytest.raises(KeyboardInterrupt) as excinfo:
            getattr(obj, method)("src", "dst")
    assert excinfo.value is interrupt
