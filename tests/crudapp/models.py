"""Models shaped like the platform's: products per project, cases ordered by case_sort."""

from django.db import models


class ProjectProduct(models.Model):
    project_id = models.IntegerField()


class PytestProduct(models.Model):
    project_product = models.ForeignKey(ProjectProduct, on_delete=models.CASCADE)


class Case(models.Model):
    name = models.CharField(max_length=50)
    case_sort = models.IntegerField(default=0)
    parent_id = models.IntegerField(null=True)
    project_product = models.ForeignKey(ProjectProduct, on_delete=models.CASCADE, null=True)


class PytestCase(models.Model):
    name = models.CharField(max_length=50)
    case_sort = models.IntegerField(default=0)
    project_product = models.ForeignKey(PytestProduct, on_delete=models.CASCADE)


class Note(models.Model):
    """No case_sort, no project."""
    name = models.CharField(max_length=50)
