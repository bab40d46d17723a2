"""Client, Device, Interface and FirmwareUpdateCallbacks as classes: docstrings,
text signatures, argument checks that happen before any device is contacted."""

import datetime
import inspect

import pytest

import published_docs

METHOD_TABLES = [
    ("Client", published_docs.CLIENT_METHODS),
    ("Device", published_docs.DEVICE_METHODS),
    ("Interface", published_docs.INTERFACE_METHODS),
    ("FirmwareUpdateCallbacks", published_docs.CALLBACKS_METHODS),
]
METHODS = [(cls, name, doc) for cls, table in METHOD_TABLES for name, doc in table.items()]


@pytest.mark.parametrize("cls, name, full", METHODS, ids=[f"{c}.{n}" for c, n, _ in METHODS])
def test_method_docstring_and_text_signature(tq, cls, name, full):
    method = getattr(getattr(tq, cls), name)
    head, _, doc = full.partition("\n--\n\n")
    assert method.__text_signature__ == head[head.index("(") :]
    assert method.__doc__ == (doc or None)
    # inspect drops $self for the unbound method and keeps the parameter names.
    params = [p for p in inspect.signature(method).parameters]
    assert params == [p.strip().lstrip("$").partition("=")[0] for p in head[head.index("(") + 1 : -1].split(",")]


@pytest.mark.parametrize("cls, table", METHOD_TABLES)
def test_classes_have_exactly_the_published_methods(tq, cls, table):
    klass = getattr(tq, cls)
    own = {n for n, v in vars(klass).items() if callable(v) and not n.startswith("__")}
    assert own == set(table)


@pytest.mark.parametrize("cls", list(published_docs.CLASS_DOCS))
def test_class_docstring(tq, cls):
    full = published_docs.CLASS_DOCS[cls]
    klass = getattr(tq, cls)
    if full and "\n--\n\n" in full:
        head, _, full = full.partition("\n--\n\n")
        assert klass.__text_signature__ == head[head.index("(") :]
    assert klass.__doc__ == full


def test_methods_refuse_a_foreign_self(tq):
    with pytest.raises(TypeError):
        tq.Device.get_name(object())
    with pytest.raises(TypeError):
        tq.Interface.get_status(tq.create_client())
    with pytest.raises(TypeError):
        tq.FirmwareUpdateCallbacks.start_finalizing(object())


def test_create_client_returns_independent_clients(tq):
    a, b = tq.create_client(), tq.create_client()
    assert type(a) is tq.Client
    assert a is not b


class Delta(datetime.timedelta):
    """A subclass trying to pass other values than it holds."""

    @property
    def days(self):
        return -5

    @property
    def seconds(self):
        return 10**12


@pytest.mark.parametrize(
    "timeout, error, match",
    [
        (0.1, TypeError, "^argument 'timeout': "),
        (100, TypeError, "^argument 'timeout': "),
        (None, TypeError, "^argument 'timeout': "),
        (datetime.datetime.now(), TypeError, "^argument 'timeout': "),
        (datetime.timedelta(seconds=-1), ValueError, "negative timedelta cannot be converted to a duration"),
        (datetime.timedelta(microseconds=-1), ValueError, "negative timedelta"),
        (datetime.timedelta.min, ValueError, "negative timedelta"),
        (datetime.timedelta.max, OverflowError, "too large"),
        (datetime.timedelta(days=106752), OverflowError, "too large"),
        # The real (stored) fields decide: this one is too long, whatever its
        # properties claim.
        (Delta(days=999_999_999), OverflowError, "too large"),
        (Delta(days=-1), ValueError, "negative timedelta"),
    ],
)
def test_scan_timeout_conversion_refuses_before_scanning(tq, timeout, error, match):
    with pytest.raises(error, match=match):
        tq.create_client().scan_for_devices_with_timeout(timeout)


def test_scan_timeout_argument_errors(tq):
    client = tq.create_client()
    with pytest.raises(TypeError):
        client.scan_for_devices_with_timeout()
    with pytest.raises(TypeError):
        client.scan_for_devices_with_timeout(datetime.timedelta(0), 1)
    with pytest.raises(TypeError):
        client.scan_for_devices_with_timeout(wait=datetime.timedelta(0))
    with pytest.raises(TypeError):
        client.scan_for_devices(1)


# ---- FirmwareUpdateCallbacks ---------------------------------------------------


def test_callbacks_defaults_do_nothing(tq):
    cb = tq.FirmwareUpdateCallbacks()
    assert cb.update_started(0) is None
    assert cb.update_started(2**64 - 1) is None
    assert cb.report_progress(_total_transferred_bytes=10) is None
    assert cb.start_finalizing() is None
    assert cb.update_finished(tq.FirmwareUpdateResult.Success) is None


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda cb, tq: cb.update_started(-1), OverflowError),
        (lambda cb, tq: cb.update_started(2**64), OverflowError),
        (lambda cb, tq: cb.update_started("1"), TypeError),
        (lambda cb, tq: cb.report_progress(1.5), TypeError),
        (lambda cb, tq: cb.update_finished(0), TypeError),
        (lambda cb, tq: cb.update_finished(tq.Tc10State.Normal), TypeError),
        (lambda cb, tq: cb.update_started(), TypeError),
        (lambda cb, tq: cb.update_started(total_bytes=1), TypeError),
        (lambda cb, tq: cb.start_finalizing(1), TypeError),
    ],
)
def test_callbacks_defaults_convert_their_argument(tq, call, error):
    with pytest.raises(error):
        call(tq.FirmwareUpdateCallbacks(), tq)


def test_callbacks_construction_takes_no_arguments(tq):
    with pytest.raises(TypeError):
        tq.FirmwareUpdateCallbacks(1)
    with pytest.raises(TypeError):
        tq.FirmwareUpdateCallbacks(x=1)


def test_callbacks_subclass_gets_a_dict_and_needs_new_for_arguments(tq):
    class Mine(tq.FirmwareUpdateCallbacks):
        def __init__(self, label):
            self.label = label

    with pytest.raises(TypeError):
        Mine("a")

    class WithNew(tq.FirmwareUpdateCallbacks):
        def __new__(cls, label):
            return super().__new__(cls)

        def __init__(self, label):
            self.label = label

    obj = WithNew("a")
    assert obj.label == "a"
    assert isinstance(obj, tq.FirmwareUpdateCallbacks)
    assert obj.update_started(5) is None

    class Plain(tq.FirmwareUpdateCallbacks):
        pass

    p = Plain()
    p.anything = 1
    assert p.__dict__ == {"anything": 1}


def test_callbacks_subclasses_are_collected(tq):
    import gc
    import weakref

    class Cyclic(tq.FirmwareUpdateCallbacks):
        pass

    obj = Cyclic()
    obj.me = obj
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None
