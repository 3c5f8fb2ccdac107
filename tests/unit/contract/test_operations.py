"""The eight forwarders and the two transfers, over a recording client."""

from operations_support import *  # noqa: F401,F403 - the shared tables and fixtures


# --- forwarders -----------------------------------------------------------


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
@pytest.mark.parametrize("client_result", [None, False, 0, "text", "object"])
def test_forwarder_makes_one_positional_call_and_returns(obj, client, log, method, remote, params, passes_result, client_result):
    if client_result == "object":
        client_result = object()
    client.returns[remote] = client_result
    args = arguments(params)
    result = getattr(obj, method)(*args)
    assert [(c.name, c.args, c.kwargs) for c in log.calls] == [(f"sftp.{remote}", args, {})]
    if passes_result:
        assert result is client_result
    else:
        assert result is True


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
def test_forwarder_keywords_in_reverse_order_reach_the_client_positionally(obj, log, method, remote, params, passes_result):
    args = arguments(params)
    getattr(obj, method)(**dict(reversed(list(zip(params, args)))))
    assert [(c.args, c.kwargs) for c in log.calls] == [(args, {})]


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
@pytest.mark.parametrize("exc", [Boom("client"), OSError(2, "No such file"), KeyboardInterrupt()], ids=repr)
def test_forwarder_lets_client_errors_through_unchanged(obj, client, method, remote, params, passes_result, exc):
    client.raises[remote] = exc
    with pytest.raises(type(exc)) as excinfo:
        getattr(obj, method)(*arguments(params))
    assert excinfo.value is exc


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
def test_forwarder_without_a_client_raises_attribute_error(bare, method, remote, params, passes_result):
    with pytest.raises(AttributeError, match="_sftp"):
        getattr(bare, method)(*arguments(params))
    bare._sftp = None
    with pytest.raises(AttributeError, match=remote):
        getattr(bare, method)(*arguments(params))


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
def test_forwarder_passes_arguments_untouched(obj, log, method, remote, params, passes_result):
    args = tuple(object() for _ in params)
    getattr(obj, method)(*args)
    assert all(a is b for a, b in zip(log.calls[0].args, args, strict=True))


def test_client_is_read_afresh_at_every_call(obj, log):
    obj._rmdir("a")
    obj._sftp = Fake(log, "other", SFTP_CLIENT_METHODS)
    obj._rmdir("b")
    obj._upload("c", "d")
    assert [(c.name, c.args) for c in log.calls] == [("sftp.rmdir", ("a",)), ("other.rmdir", ("b",)), ("other.put", ("c", "d"))]


# --- transfers ------------------------------------------------------------


# A download to a device is not staged: it is get(src, dst) itself.
@pytest.mark.parametrize("method, remote, dst", [("_upload", "put", "dst"), ("_download", "get", os.devnull)], ids=TRANSFER_IDS)
@pytest.mark.parametrize("client_result", [None, False, "x"])
def test_transfer_returns_true_singleton(obj, client, log, method, remote, dst, client_result):
    client.returns[remote] = client_result
    assert getattr(obj, method)("src", dst) is True
    assert [(c.name, c.args, c.kwargs) for c in log.calls] == [(f"sftp.{remote}", ("src", dst), {})]


# For every real client the staged download takes the place of the
# contract's get(src, dst): it writes through getfo into a staged file, so
# that a failed download leaves the local file as it was. getfo is pinned
# here, and the size check get makes on what it reports.
@pytest.mark.parametrize("reported, expected", [(0, True), (False, True), (1, False), (None, False), ("0", False)])
def test_a_staged_download_checks_the_size_getfo_reports_as_get_does(obj, client, reported, expected):
    client.returns["getfo"] = reported
    assert obj._download("src", "dst") is expected
    assert os.listdir() == (["dst"] if expected else [])


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_transfer_keywords_reach_the_client_source_first(obj, log, method, remote):
    assert getattr(obj, method)(dsc_path="local-or-remote-dst", src_file="the-src") is True
    [call] = log.calls
    assert call.kwargs == {}
    assert_transfer_args(method, call.args, "the-src", "local-or-remote-dst")


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("exc", [Boom("x"), FileNotFoundError(2, "missing"), OSError("closed"), ValueError("v")], ids=repr)
def test_transfer_failure_returns_false_singleton(obj, client, log, method, remote, exc):
    client.raises[remote] = exc
    assert getattr(obj, method)("src", "dst") is False
    assert len(log.calls) == 1
    assert sys.exception() is None


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_transfer_without_a_usable_client_returns_false(bare, cls, method, remote):
    assert getattr(bare, method)("src", "dst") is False
    bare._sftp = None
    assert getattr(bare, method)("src", "dst") is False

    class Lookup(cls):
        @property
        def _sftp(self):
            raise RuntimeError("lookup failed")

    assert getattr(Lookup.__new__(Lookup), method)("src", "dst") is False


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_transfer_lets_non_ordinary_exceptions_through(obj, client, method, remote, exc_type):
    client.raises[remote] = exc = exc_type()
    with pytest.raises(exc_type) as excinfo:
        getattr(obj, method)("src", "dst")
    assert excinfo.value is exc


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_transfer_binding_error_is_raised_not_false(obj, log, method, remote):
    with pytest.raises(TypeError):
        getattr(obj, method)("only-one")
    with pytest.raises(TypeError):
        getattr(obj, method)("src", dst_path="dst")
    assert log.calls == []


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("fails", [True, False])
def test_transfer_inside_an_except_block_keeps_the_handled_exception(obj, client, method, remote, fails):
    if fails:
        client.raises[remote] = Boom("inner")
    handled = LookupError("outer")
    try:
        raise handled
    except LookupError:
        result = getattr(obj, method)("src", "dst")
        assert sys.exception() is handled
    assert result is (not fails)
    assert handled.__context__ is None


def test_forwarders_and_transfers_leave_the_instance_unchanged(obj, client):
    before = dict(vars(obj))
    for method, remote, params, _ in FORWARDERS:
        getattr(obj, method)(*arguments(params))
    obj._upload("a", "b")
    client.raises["getfo"] = Boom("x")
    obj._download("a", "b")
    assert vars(obj) == before
