"""REST handlers on a real Django + DRF project (sqlite in memory)."""

import django
from django.conf import settings

if not settings.configured:
    settings.configure(
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
        INSTALLED_APPS=["django.contrib.contenttypes", "rest_framework", "crudapp"],
        DEFAULT_AUTO_FIELD="django.db.models.AutoField",
        REST_FRAMEWORK={"UNAUTHENTICATED_USER": None},
        USE_TZ=True,
    )
    django.setup()

import types
from urllib.parse import urlencode

import pytest
from django.db import connection, transaction
from django.test.utils import CaptureQueriesContext
from rest_framework.request import Request
from rest_framework.test import APIRequestFactory

import tamareltools.tamarels as tamarels
from crudapp import models, views
from leakcheck import assert_no_leaks
from tamareltools.exceptions import TamarelToolsError

factory = APIRequestFactory()


@pytest.fixture(scope="module", autouse=True)
def schema():
    with connection.schema_editor() as editor:
        for model in (models.ProjectProduct, models.PytestProduct, models.Case,
                      models.PytestCase, models.Note):
            editor.create_model(model)


@pytest.fixture(autouse=True)
def rows():
    with transaction.atomic():
        p1, p2 = (models.ProjectProduct.objects.create(project_id=n) for n in (1, 2))
        for i, (name, product) in enumerate([("abc", p1), ("abd", p1), ("xyz", p2), ("kid", p1)]):
            models.Case.objects.create(name=name, case_sort=10 - i, project_product=product, parent_id=7)
        q1, q2 = models.PytestProduct.objects.create(project_product=p1), \
            models.PytestProduct.objects.create(project_product=p2)
        models.PytestCase.objects.create(name="py1", project_product=q1)
        models.PytestCase.objects.create(name="py2", project_product=q2)
        models.Note.objects.create(name="n1")
        views.Crud.log.system.lines.clear()
        views.Crud.callbacks.clear()
        yield
        transaction.set_rollback(True)


def call(view, method, path="/", data=None, project=None, **query):
    headers = {"HTTP_PROJECT": str(project)} if project is not None else {}
    if method in ("get", "delete"):
        raw = query.pop("raw", None) or urlencode(query)
        request = getattr(factory, method)(path + "?" + raw, **headers)
    else:
        request = getattr(factory, method)(path, data, format="json", **headers)
    response = view.as_view()(request)
    return response.status_code, response.data


def names(data):
    return [row["name"] for row in data["data"]]


@pytest.mark.parametrize("query,project,expected", [
    ({}, None, ["kid", "xyz", "abd", "abc"]),                 # ordered by case_sort
    ({"name": "ab"}, None, ["abd", "abc"]),                   # containment
    ({"raw": "name=ab&name=xyz"}, None, ["abd", "abc"]),      # first value only
    ({"name": "ab"}, 1, ["abd", "abc"]),
    ({}, 2, ["xyz"]),
    ({}, "", ["kid", "xyz", "abd", "abc"]),                   # empty header: every project
    ({"parent": "7"}, None, None),                            # listed name: exact, unknown field
    ({"parent_id": "7"}, 1, ["kid", "abd", "abc"]),           # "id" in the name: exact
    ({"pageSize": "2", "page": "2"}, None, ["abd", "abc"]),
])
def test_case_listing(query, project, expected):
    status, data = call(views.CaseView, "get", project=project, **query)
    if expected is None:
        assert (status, data["code"]) == (400, "m_0027")
    else:
        assert (status, names(data)) == (200, expected)
        assert data["total"] == (4 if "pageSize" in query else len(expected))  # scoped totals too


def test_paging_total_and_missing_page():
    status, data = call(views.CaseView, "get", pageSize="3", page="1")
    assert names(data) == ["kid", "xyz", "abd"] and data["total"] == 4
    status, data = call(views.CaseView, "get", pageSize="3")        # no page: unpaged, pageSize filters
    assert data["code"] == "m_0027"


def test_pytest_model_scoping_and_unordered_model():
    assert names(call(views.PytestCaseView, "get", project=2)[1]) == ["py2"]
    status, data = call(views.NoteView, "get")                      # no case_sort; eager loading fails
    assert (status, names(data)) == (200, ["n1"])


def test_project_scoping_is_one_listing_query():
    request = Request(factory.get("/", {"name": "a"}, HTTP_PROJECT="1"))
    view = views.CaseView()
    with CaptureQueriesContext(connection) as queries:
        response = tamarels.get(view, request=request, log=view.log, **view.keywords)
    assert [row["name"] for row in response.data["data"]] == ["abd", "abc"]
    sqls = [q["sql"] for q in queries.captured_queries]
    # one query, the project's ids a subquery of it (count() reuses the fetched rows)
    assert len(sqls) == 1 and sqls[0].count("SELECT") == 2 and "crudapp_projectproduct" in sqls[0]


def test_failure_is_logged_with_the_traceback(capsys):
    class Broken(views.CaseView):
        def paging_list(self, *args):
            return [1, 2, 3]

    status, data = call(Broken, "get", pageSize="1", page="1")
    assert data["code"] == "m_0027"
    assert views.Crud.log.system.lines == [
        "GET请求发送异常，请排查问题：too many values to unpack (expected 2, got 3), error:None"]
    assert "ValueError: too many values to unpack" in capsys.readouterr().err

    class S3(views.CaseView):
        def get_serializer_class(self):
            raise views.S3Error("bucket")

    assert call(S3, "get")[1]["code"] == "m_0026"


def test_get_bad_input_raises():
    view = views.CaseView()
    with pytest.raises(AttributeError):
        tamarels.get(view, request=object(), **view.keywords)
    with pytest.raises(TypeError, match=r"get\(\) takes 1 positional argument but 2 were given"):
        tamarels.get(view, 1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'self'"):
        tamarels.get(request=None)


def test_post_and_put():
    status, data = call(views.CaseView, "post", data={"name": "new", "parent_id": 3})
    assert (status, data["code"], data["data"]["name"]) == (200, "m_0002", "new")
    assert views.Crud.callbacks == [3]
    created = data["data"]["id"]
    status, data = call(views.CaseView, "post", data={"name": "x" * 60, "parent_id": 4})
    assert (status, data["code"]) == (400, "m_0003") and "name" in data["data"]
    line = views.Crud.log.system.lines[-1]
    assert line.startswith("执行保存时报错，请检查！数据：{'name': 'xxx")
    assert line.endswith('报错信息：{"name": ["Ensure this field has no more than 50 characters."]}')
    assert views.Crud.callbacks == [3]

    status, data = call(views.CaseView, "put", data={"id": created, "name": "renamed", "parent_id": 5})
    assert data["data"]["name"] == "renamed" and views.Crud.callbacks == [3, 5]
    view = views.CaseView()
    response = tamarels.put(view, request={"id": created, "case_sort": 99}, **view.keywords)
    assert response.data["data"]["case_sort"] == 99 and views.Crud.callbacks[-1] is None
    response = tamarels.put(view, request={"id": created, "name": "y" * 60}, log=view.log, **view.keywords)
    assert response.data["code"] == "m_0004"
    assert views.Crud.log.system.lines[-1].startswith("执行修改时报错，请检查！数据：{'id': ")
    with pytest.raises(models.Case.DoesNotExist):
        tamarels.put(view, request={"id": 999}, **view.keywords)


def ids():
    return sorted(models.Case.objects.values_list("id", flat=True))


def test_delete():
    first, second, third, fourth = ids()
    assert call(views.CaseView, "delete", id=str(first), parent_id="9")[1]["code"] == "m_0005"
    assert views.Crud.callbacks == ["9"] and ids() == [second, third, fourth]
    assert call(views.CaseView, "delete", raw=f"id[]={second}&id[]=999&id[]={third}")[1]["code"] == "m_0029"
    assert ids() == [third, fourth]                    # the one before the missing id is gone
    assert call(views.CaseView, "delete", raw=f"id={third}&id[]={fourth}")[1]["code"] == "m_0005"
    assert ids() == [fourth]
    assert call(views.CaseView, "delete")[1]["code"] == "m_0029"
    assert call(views.CaseView, "delete", id="999")[1]["code"] == "m_0029"
    assert views.Crud.callbacks == ["9", None]
    with pytest.raises(ValueError):
        call(views.CaseView, "delete", raw="id[]=abc")


def test_delete_answers_platform_errors():
    class Guarded(views.CaseView):
        def asynchronous_callback(self, parent_id):
            raise TamarelToolsError("0500", "回调失败")

    assert call(Guarded, "delete", id=str(ids()[0]))[1] == {"code": ("0500", "回调失败"), "data": None}


def test_inside_handlers():
    log = views.Log()
    saved = tamarels.inside_post(views.CaseView, data={"name": "in"}, log=log)
    assert type(saved) is dict and saved["name"] == "in"
    changed = tamarels.inside_put(views.CaseView, _id=saved["id"], data={"name": "out"}, log=log)
    assert changed["name"] == "out"
    for entry in (("0116", "数据错误"), ["0116", "数据错误"]):
        with pytest.raises(TamarelToolsError) as info:
            tamarels.inside_post(views.CaseView, data={"name": "z" * 60}, log=log,
                                 tools_error=TamarelToolsError, m_0116=entry)
        assert info.value.code == "0116" and len(info.value.value) == 1 and "name" in info.value.value[0]
    assert log.system.lines[0].startswith("执行内部保存时报错，请检查！数据：{'name': 'zzz")
    with pytest.raises(TypeError, match=r"^None argument after \* must be an iterable, not NoneType$"):
        tamarels.inside_put(views.CaseView, _id=saved["id"], data={"name": "z" * 60}, log=log)
    assert log.system.lines[-1].startswith(f"执行内部修改时报错，请检查！id:{saved['id']}, 数据：")
    with pytest.raises(models.Case.DoesNotExist):
        tamarels.inside_put(views.CaseView, _id=999, data={})
    assert tamarels.inside_delete(views.CaseView, _id=saved["id"]) is None
    assert not models.Case.objects.filter(id=saved["id"]).exists()
    assert tamarels.inside_delete.__annotations__ == {"return": "None"}


def test_test_prints_its_keywords(capsys):
    assert tamarels.test(object(), a=1) is None
    assert capsys.readouterr().out == "{'a': 1}\n"


def test_handlers_bind_as_methods():
    class View(views.CaseView):
        listing = tamarels.get

    request = Request(factory.get("/", {"name": "xy"}))
    response = View().listing(request=request, **views.Crud.keywords)
    assert [row["name"] for row in response.data["data"]] == ["xyz"]


class Params:
    def __init__(self, pairs):
        self.pairs = pairs

    def lists(self):
        return iter(self.pairs)

    def get(self, name, default=None):
        return dict(self.pairs).get(name, [default])[0]


class Recorder:
    """Fake model, queryset and serializer recording the filter mapping."""
    __name__ = "Recorder"
    project_product = True
    last = None

    class _meta:
        @staticmethod
        def get_field(name):
            return name

    class objects:
        @staticmethod
        def filter(**mapping):
            Recorder.last = mapping
            return types.SimpleNamespace(order_by=lambda f: "rows", values_list=lambda *a, **k: "ids")


def test_filter_mapping_and_leaks():
    pairs = [("name", ["a", "b"]), ("", ["e"]), ("case_id", ["3"]), ("valid", ["1"]),
             ("listed", ["x"]), ("num", [5]), ("project_product", ["p"])]
    view = types.SimpleNamespace(model=Recorder, not_matching_str=["listed"], pytest_model=[],
                                 get_serializer_class=lambda: Serializer)

    class Serializer:
        def __init__(self, instance, many):
            self.data = [instance]

        @staticmethod
        def setup_eager_loading(rows):
            return types.SimpleNamespace(count=lambda: 1)

    request = types.SimpleNamespace(query_params=Params(pairs), headers={"Project": "4"})
    keywords = dict(request=request, response_data=views.Answer, project_product=Recorder)
    tamarels.get(view, **keywords)
    assert Recorder.last == {"name__contains": "a", "": "e", "case_id": "3", "valid": "1",
                             "listed": "x", "num": 5, "project_product__contains": "p",
                             "project_product_id__in": "ids"}
    assert_no_leaks(tamarels.get, view, **keywords, repeat=500, allowed_bytes=100_000)
