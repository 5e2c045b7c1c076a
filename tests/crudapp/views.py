"""Serializers and views calling the handlers the way the platform's views do."""

from django.core.exceptions import FieldDoesNotExist, FieldError
from django.core.paginator import Paginator
from rest_framework import serializers
from rest_framework.response import Response
from rest_framework.views import APIView

import tamareltools.tamarels as tamarels
from tamareltools.exceptions import TamarelToolsError

from . import models


class S3Error(Exception):
    pass


class Answer:
    """The platform's response factory."""

    @staticmethod
    def success(message, data=None, total=None):
        return Response({"code": message, "data": data, "total": total})

    @staticmethod
    def fail(message, data=None):
        return Response({"code": message, "data": data}, status=400)


class SystemLog:
    def __init__(self):
        self.lines = []

    def error(self, text):
        self.lines.append(text)


class Log:
    def __init__(self):
        self.system = SystemLog()


def eager(fields):
    @classmethod
    def setup_eager_loading(cls, queryset):
        return queryset.select_related(*fields)
    return setup_eager_loading


class CaseSerializer(serializers.ModelSerializer):
    setup_eager_loading = eager(["project_product"])

    class Meta:
        model = models.Case
        fields = ["id", "name", "case_sort", "parent_id", "project_product"]


class PytestCaseSerializer(serializers.ModelSerializer):
    setup_eager_loading = eager(["project_product"])

    class Meta:
        model = models.PytestCase
        fields = ["id", "name", "case_sort", "project_product"]


class NoteSerializer(serializers.ModelSerializer):
    @classmethod
    def setup_eager_loading(cls, queryset):
        raise FieldError("nothing to load")

    class Meta:
        model = models.Note
        fields = ["id", "name"]


class Crud(APIView):
    model = None
    serializer = None
    not_matching_str = ["pageSize", "page"]
    pytest_model = ["PytestCase"]
    log = Log()
    callbacks = []
    keywords = dict(
        project_product=models.ProjectProduct, pytest_product=models.PytestProduct,
        response_data=Answer, m_0001="m_0001", m_0002="m_0002", m_0003="m_0003",
        m_0004="m_0004", m_0005="m_0005", m_0026="m_0026", m_0027="m_0027",
        m_0029="m_0029", m_0082="m_0082", field_does_note_xist=FieldDoesNotExist,
        field_error=FieldError, s3_error=S3Error, tools_error=TamarelToolsError)

    def get_serializer_class(self):
        return self.serializer

    def paging_list(self, page_size, page, queryset, serializer_class):
        paginator = Paginator(queryset, int(page_size))
        return serializer_class(paginator.page(int(page)), many=True).data, paginator.count

    def asynchronous_callback(self, parent_id):
        self.callbacks.append(parent_id)

    def get(self, request):
        return tamarels.get(self, request=request, log=self.log, **self.keywords)

    def post(self, request):
        return tamarels.post(self, request=request, log=self.log, **self.keywords)

    def put(self, request):
        return tamarels.put(self, request=request, log=self.log, **self.keywords)

    def delete(self, request):
        return tamarels.delete(self, request=request, log=self.log, **self.keywords)


class CaseView(Crud):
    model = models.Case
    serializer = CaseSerializer
    not_matching_str = ["pageSize", "page", "parent"]


class PytestCaseView(Crud):
    model = models.PytestCase
    serializer = PytestCaseSerializer


class NoteView(Crud):
    model = models.Note
    serializer = NoteSerializer
