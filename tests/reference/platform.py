"""The rest of the plain-Python functions: the assertion dispatcher, the REST listing
and the host helpers."""

import copy
import json
import re
import traceback


def v(v, s=None):
    if v == v:
        if s:
            print("测试通过")
        return None
    raise Exception("")


# ---- assertion dispatcher ----------------------------------------------------------

def ass(self, method, actual, expect=None, **kwargs):
    if type(method) is not str:
        raise TypeError("Argument 'method' has incorrect type")
    if callable(getattr(kwargs.get("text"), method, None)):
        if expect is None:
            return getattr(self, method)(actual)
        return getattr(self, method)(actual, expect)
    if callable(getattr(kwargs.get("excel"), method, None)):
        try:
            if isinstance(actual, str):
                try:
                    if actual.strip().startswith(("{", "[")):
                        actual = json.loads(actual)
                except json.decoder.JSONDecodeError:
                    actual = json.loads(re.sub(r"\\", r"\\\\", actual))
            if isinstance(expect, str) and expect.strip().startswith(("{", "[")):
                expect = json.loads(expect)
        except json.decoder.JSONDecodeError:
            raise ValueError("0019")
        return getattr(self, method)(actual, expect)
    if callable(getattr(kwargs.get("sql"), method, None)):
        if self.mysql_connect is None:
            raise ValueError("0021")
        if isinstance(expect, str) and expect.strip().startswith(("{", "[")):
            try:
                expect = json.loads(expect)
            except json.decoder.JSONDecodeError:
                pass
        if expect:
            return getattr(self, method)(actual, expect)
        return getattr(self, method)(actual)
    if callable(getattr(kwargs.get("custom"), method, None)):
        return getattr(self, method)(actual)
    return getattr(self, method)(actual, expect)


# ---- REST listing ------------------------------------------------------------------



def get(self, **kwargs):
    query_dict = {}
    for k, v in dict(kwargs.get("request").query_params.lists()).items():
        if k and isinstance(v[0], str) and k not in self.not_matching_str and "id" not in k:
            query_dict[f"{k}__contains"] = v[0]
        else:
            query_dict[k] = v[0]
    project_id = kwargs.get("request").headers.get("Project")
    if query_dict.get("project_product") is None and project_id and hasattr(self.model, "project_product"):
        project_product = kwargs.get("project_product").objects.filter(project_id=project_id)
        if self.model.__name__ in self.pytest_model:
            product = kwargs.get("pytest_product").objects.filter(
                project_product_id__in=project_product.values_list("id", flat=True))
            query_dict["project_product_id__in"] = product.values_list("id", flat=True)
        else:
            query_dict["project_product_id__in"] = project_product.values_list("id", flat=True)

    def ordered():
        try:
            self.model._meta.get_field("case_sort")
            return self.model.objects.filter(**query_dict).order_by("case_sort")
        except kwargs.get("field_does_note_xist"):
            return self.model.objects.filter(**query_dict)

    try:
        params = kwargs.get("request").query_params
        if params.get("pageSize") and params.get("page"):
            del query_dict["pageSize"]
            del query_dict["page"]
            queryset = ordered()
            data_list, count = self.paging_list(params.get("pageSize"), params.get("page"),
                                                queryset, self.get_serializer_class())
            return kwargs.get("response_data").success(kwargs.get("m_0001"), data_list, count)
        books = ordered()
        serializer = self.get_serializer_class()
        try:
            books = serializer.setup_eager_loading(books)
        except kwargs.get("field_error"):
            pass
        return kwargs.get("response_data").success(kwargs.get("m_0001"),
                                                   serializer(instance=books, many=True).data,
                                                   books.count())
    except kwargs.get("s3_error"):
        kwargs.get("log").system.error(f"GET请求发送异常，请排查问题：{traceback.print_exc()}")
        return kwargs.get("response_data").fail(kwargs.get("m_0026"))
    except Exception as e:
        kwargs.get("log").system.error(f"GET请求发送异常，请排查问题：{e}, error:{traceback.print_exc()}")
        return kwargs.get("response_data").fail(kwargs.get("m_0027"))


# ---- host helpers ------------------------------------------------------------------


def s_e(self, e, v=None):
    method = getattr(self, e)
    if isinstance(v, str):
        return method(v)
    if isinstance(v, dict):
        return method(**v)
    if v is None:
        return method()
    return None


def edit_form_data(self, row, form_data, methods):
    form_data = copy.deepcopy(form_data)
    for i in form_data:
        if isinstance(row[i.key], dict):
            i.value = row[i.key].get("id", None)
            if i.value is None and row[i.key]:
                i.value = json.dumps(row[i.key], ensure_ascii=False)
        elif isinstance(row[i.key], list):
            i.value = json.dumps(row[i.key], ensure_ascii=False)
        else:
            i.value = row[i.key]
        if callable(i.select):
            if hasattr(self, "form_data_callback"):
                i.select = self.form_data_callback(i)
            else:
                i.select = i.select()
        if i.subordinate:
            if i.subordinate == "module":
                if i.value is None or i.value == "":
                    continue
                options = methods.get_product_module_label(int(i.value))
            else:
                options = self.subordinate_callback(i)
            next((item for item in form_data if item.key == i.subordinate), None).select = options
    return form_data
